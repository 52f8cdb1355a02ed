# One WebSocket connection of scripts/lib/web-endpoint once its opening handshake is done: its
# frames are read and written here, in the transport's own callbacks, and a session relays them
# to and from its server's standard input and output.
#
# Why not the library's own reading: its reader task, its message queue and a task of ours
# between them cost as much time per order as the whole of socat does over TCP (80 us of the
# endpoint's processor time against socat's 20, on these machines). Here a message goes to the
# server's input as soon as it is whole, and each read of the server's output is written as one
# frame, with no task woken between them. The library keeps the opening handshake, the HTTP
# answers and the closing bookkeeping (`wait_closed`, `closed`).
#
# Frames are read as RFC 6455 has them: masked, no extensions, control frames short and whole.
# A text message ends the connection with 1003; a message over `max_size` with 1009 as soon as
# its header says so; anything else out of order with 1002. Whole messages wait in `held` until
# the server's input takes them; while more than `max_queue` wait, nothing more is read from the
# client, so a connection waiting for a place holds at most that many.
import asyncio
import socket

import websockets.legacy.server
from websockets.connection import State

kContinuation, kText, kBinary, kClose, kPing, kPong = 0x0, 0x1, 0x2, 0x8, 0x9, 0xA
kNormal, kProtocolError, kUnsupported, kTooBig = 1000, 1002, 1003, 1009


def frame(opcode, payload):
    """A frame from the server: final and not masked."""
    n = len(payload)
    if n < 126:
        head = bytes((0x80 | opcode, n))
    elif n < 65536:
        head = bytes((0x80 | opcode, 126)) + n.to_bytes(2, "big")
    else:
        head = bytes((0x80 | opcode, 127)) + n.to_bytes(8, "big")
    return head + payload


def unmask(data, mask):
    n = len(data)
    key = int.from_bytes(mask * (n // 4 + 1), "little") & ((1 << (8 * n)) - 1)
    return (int.from_bytes(data, "little") ^ key).to_bytes(n, "little")


class Connection(websockets.legacy.server.WebSocketServerProtocol):
    writing_paused = False  # whether the client's socket is above its high-water mark

    def connection_open(self):
        self.state = State.OPEN
        # What the client sent right behind its upgrade request is read here too: it waits in the
        # buffer of the library's reader (an asyncio.StreamReader, whose buffer is `_buffer`), which
        # is read no more from here on.
        self.unread = bytearray(self.reader._buffer)
        self.reader._buffer.clear()
        self.message = None  # the fragments read so far of a message
        self.closing = False  # whether our close frame has gone
        self.ended = self.loop.create_future()  # the connection's end
        self.held = []  # whole messages the server's input has not taken
        self.input = None  # the session's Input, while its server may read
        self.output_pipe = None  # the server's output, while it is passed on
        self.loop.call_soon(self.read_frames)

    @property
    def open(self):
        return self.state is State.OPEN

    def data_received(self, data):
        if self.state is State.CONNECTING:
            return super().data_received(data)
        self.unread += data
        self.read_frames()

    def eof_received(self):
        if self.state is State.CONNECTING:
            return super().eof_received()
        self.end_of_messages()
        return False  # the transport closes

    def connection_lost(self, exc):
        opened = self.state is not State.CONNECTING
        super().connection_lost(exc)
        if opened:
            self.end_of_messages()
            if self.output_pipe is not None:
                self.output_pipe.resume_reading()  # read on to its end, and dropped
            if not self.ended.done():
                self.ended.set_result(None)

    # The client's frames, as far as they have come; messages go to `held`.
    def read_frames(self):
        buf = self.unread
        while self.state in (State.OPEN, State.CLOSING) and len(buf) >= 2:
            if len(self.held) > self.max_queue:
                self.transport.pause_reading()  # until take_held() has room again
                return
            b0, b1 = buf[0], buf[1]
            opcode, n, at = b0 & 0x0F, b1 & 0x7F, 2
            if n >= 126:
                at = 4 if n == 126 else 10
                if len(buf) < at:
                    return
                n = int.from_bytes(buf[2:at], "big")
            if b0 & 0x70 or not b1 & 0x80 or (opcode >= 8 and (n > 125 or not b0 & 0x80)):
                return self.fail(kProtocolError)
            if opcode < 8 and n + len(self.message or b"") > self.max_size:
                return self.fail(kTooBig)
            if len(buf) < at + 4 + n:
                return
            payload = unmask(bytes(buf[at + 4:at + 4 + n]), bytes(buf[at:at + 4]))
            del buf[:at + 4 + n]
            if opcode == kClose:
                return self.close_received(payload)
            if self.state is not State.OPEN or opcode == kPong:
                continue  # once our close has gone only the client's counts
            if opcode == kPing:
                self.transport.write(frame(kPong, payload))
            elif opcode == kText:
                return self.fail(kUnsupported, "binary messages only")
            elif opcode in (kBinary, kContinuation) and (opcode == kBinary) == (self.message is None):
                self.message = (self.message or b"") + payload
                if b0 & 0x80:
                    message, self.message = self.message, None
                    if message:  # an empty record would read as the end of the server's input
                        self.held.append(message)
                        self.take_held()
            else:
                return self.fail(kProtocolError)

    # Offers the held messages to the server's input, and reads on while few wait.
    def take_held(self):
        if self.input is not None:
            self.input.take(self.held)
        if len(self.held) <= self.max_queue and self.state is State.OPEN and \
                not self.transport.is_closing():
            self.transport.resume_reading()

    def close_received(self, payload):
        if not self.closing:
            self.closing = True
            self.transport.write(frame(kClose, payload[:2]))
        self.end_of_messages()
        self.transport.close()

    # No more messages: the server's input ends once it has taken those held.
    def end_of_messages(self):
        if self.state is State.OPEN:
            self.state = State.CLOSING
        if self.input is not None:
            self.input.end()

    # Sends our close frame, once; the client answers it, and then the connection ends.
    def start_close(self, code, reason=""):
        if not self.closing and not self.transport.is_closing():
            self.closing = True
            self.transport.write(frame(kClose, code.to_bytes(2, "big") + reason.encode()))
        self.end_of_messages()

    # Ends a connection whose client broke the protocol: our close frame, and nothing more read.
    def fail(self, code, reason=""):
        self.start_close(code, reason)
        self.transport.close()

    def fail_connection(self, code=1006, reason=""):
        if self.state is State.CONNECTING:
            return super().fail_connection(code, reason)
        self.transport.abort()

    async def send(self, data):
        """One binary message, written at once; the transport holds what the client has not
        taken."""
        if self.state is State.OPEN:
            self.transport.write(frame(kBinary, data))

    async def close(self, code=kNormal, reason=""):
        if self.state is State.CONNECTING:
            return await super().close(code, reason)
        self.start_close(code, reason)
        try:
            await asyncio.wait_for(asyncio.shield(self.ended), self.close_timeout)
        except asyncio.TimeoutError:
            self.transport.abort()
            await self.ended

    # The server's output is not read while the client's socket holds more than its high-water
    # mark, so that a server whose client takes no output feels it, as on a socket of its own.
    def pause_writing(self):
        super().pause_writing()
        self.writing_paused = True
        if self.output_pipe is not None:
            self.output_pipe.pause_reading()

    def resume_writing(self):
        super().resume_writing()
        self.writing_paused = False
        if self.output_pipe is not None:
            self.output_pipe.resume_reading()

    async def relay(self, ours, output_fd):
        """Passes the client's messages to `ours`, a SEQPACKET socket that is a server's standard
        input, and the server's output from `output_fd` back; returns a future of the output's
        end."""
        self.input = Input(self, ours)
        loop = asyncio.get_running_loop()
        output = Output(self)
        self.output_pipe, _ = await loop.connect_read_pipe(
            lambda: output, open(output_fd, "rb", buffering=0))
        if self.writing_paused:
            self.output_pipe.pause_reading()
        self.take_held()
        if self.state is not State.OPEN:
            self.input.end()
        return output.ended

    def end_input(self):
        """Nothing more reaches the server: it has ended."""
        if self.input is not None:
            self.input.close()
            self.input = None


class Input:
    """A server's standard input: each message one record of a SEQPACKET socket, which takes a
    whole record or nothing; the end of the client's messages ends it. While the socket is full
    the messages wait in the connection's `held`, and its room calls take_held() again."""

    def __init__(self, ws, ours):
        self.ws = ws
        self.ours = ours
        ours.setblocking(False)
        self.waiting = False
        self.ending = False

    def take(self, held):
        while held:
            try:
                self.ours.send(held[0])
            except BlockingIOError:
                if not self.waiting:
                    self.waiting = True
                    asyncio.get_running_loop().add_writer(self.ours.fileno(), self.ws.take_held)
                return
            except OSError:
                held.clear()  # the server has ended; the end of its output ends the session
                break
            del held[0]
        self.stop_waiting()
        if self.ending:
            self.shut()

    def end(self):
        self.ending = True
        if not self.ws.held:
            self.shut()

    def shut(self):
        try:
            self.ours.shutdown(socket.SHUT_WR)
        except OSError:
            pass

    def stop_waiting(self):
        if self.waiting:
            self.waiting = False
            asyncio.get_running_loop().remove_writer(self.ours.fileno())

    def close(self):
        self.stop_waiting()
        self.ours.close()


class Output(asyncio.Protocol):
    """A server's standard output: each read of its pipe goes to the client as one binary
    message, from the pipe's own callback; once the connection is closing it is read and
    dropped, so that the server is never stuck writing."""

    def __init__(self, ws):
        self.ws = ws
        self.ended = asyncio.get_running_loop().create_future()

    def data_received(self, data):
        if self.ws.state is State.OPEN:
            self.ws.transport.write(frame(kBinary, data))

    def connection_lost(self, exc):
        self.ws.output_pipe = None
        if not self.ended.done():
            self.ended.set_result(None)

// Stopping and starting the tests' private database, for tests of what the server does when its
// database goes away. scripts/test says how, through KORVANE_DB_CTL (a command taking "stop DIR"
// or "start DIR") and KORVANE_TEST_DB_DIR; run elsewhere, these tests skip.
#ifndef KORVANE_TESTS_SUPPORT_DB_CONTROL_H_
#define KORVANE_TESTS_SUPPORT_DB_CONTROL_H_

namespace db_control {

// True when the environment says how to stop and start the database.
bool available();

// The reason to give when skipping because !available().
const char* unavailable_reason();

// Stops the database (every connection to it breaks) and waits until it is down. Records a test
// failure when that fails.
void stop();

// Starts it again on the same data and waits until it answers.
void start();

}  // namespace db_control

#endif  // KORVANE_TESTS_SUPPORT_DB_CONTROL_H_

// The characters the server's filter refuses in client text (names, addresses, memos), in the
// order it checks them: it reports the first of this list that the text holds, not the first in
// the text. Here, and not inside the filter, so that the client can check text before sending it.
#ifndef KORVANE_BASE_FILTER_CHARACTERS_H_
#define KORVANE_BASE_FILTER_CHARACTERS_H_

constexpr char kFilteredCharacters[] = {'\'', '"', ' ', '$', ')', '(', ';', '-', '#', '\\'};

#endif  // KORVANE_BASE_FILTER_CHARACTERS_H_

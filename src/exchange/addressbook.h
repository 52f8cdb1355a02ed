// The withdrawal address book: up to ten addresses per account in kv_addressbook, added one at a
// time and rewritten one or all at once. Every operation works on the signed-in account only.
#ifndef KORVANE_EXCHANGE_ADDRESSBOOK_H_
#define KORVANE_EXCHANGE_ADDRESSBOOK_H_

#include <cstdint>
#include <string>
#include <vector>

#include "base/reasons.h"
#include "base/wire_facts.h"

// Entries an account may hold; an add is accepted only below this number.
using wire::kMaxAddressBookEntries;

// The entry id that asks a rewrite for every entry of the account.
using wire::kEveryAddressBookEntry;

// An entry while it is added: symbol text, address, memo, at these positions.
using AddressBookEntry = std::vector<std::string>;
enum AddressBookEntryText : size_t { kEntrySymbol = 0, kEntryAddress = 1, kEntryMemo = 2 };

// True when the address is at most 255 bytes long.
bool validate_address(std::string address);

// True when the memo begins with a non-zero number (decimal prefix, sign allowed): "+7" and
// "123abc" pass; "", "0" and "abc" do not.
bool validate_memo(std::string memo);

// Prints the entry as an AddressBookResponse. REQUIRES: the entry holds all three texts.
void addressbook_response(AddressBookEntry entry);

// Gives entry `id` of the account the new address and prints the change. Done, with the id, when
// it was rewritten; refused when the address was filtered, no such entry exists, it already held
// that address, or the update failed.
Outcome modify_address(int id, std::string new_addr);

// Gives every entry of the account the new address, printing each entry id before its update.
// The origin address is only screened and counted; it does not select entries. Done, with the
// ids, when the updates committed (none for an empty book); refused when stopped before them or
// when they failed.
Outcome modify_all_address(std::string origin_addr, std::string new_addr);

// Prints a rewrite as a ModifyAddressBookResponse.
void modify_addressbook_response(int id, std::string origin_addr, std::string new_addr);

#endif  // KORVANE_EXCHANGE_ADDRESSBOOK_H_

// The withdrawal address book: up to ten addresses per account in kv_addressbook, added one at a
// time and rewritten one or all at once. Every operation works on the signed-in account only.
#ifndef KORVANE_EXCHANGE_ADDRESSBOOK_H_
#define KORVANE_EXCHANGE_ADDRESSBOOK_H_

#include <cstdint>
#include <string>
#include <vector>

// Entries an account may hold; an add is accepted only below this number.
constexpr uint32_t kMaxAddressBookEntries = 10;

// The entry id that asks a rewrite for every entry of the account.
constexpr int32_t kEveryAddressBookEntry = -1;

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

// Gives entry `id` of the account the new address and prints the change. Returns 0 when it was
// rewritten, -1 when the address was filtered, no such entry exists, it already held that
// address, or the update failed.
int modify_address(int id, std::string new_addr);

// Gives every entry of the account the new address, printing each entry id before its update.
// The origin address is only screened and counted; it does not select entries. Returns 0 when
// the updates ran, -1 when stopped before them.
int modify_all_address(std::string origin_addr, std::string new_addr);

// Prints a rewrite as a ModifyAddressBookResponse.
void modify_addressbook_response(int id, std::string origin_addr, std::string new_addr);

#endif  // KORVANE_EXCHANGE_ADDRESSBOOK_H_

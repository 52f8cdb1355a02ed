// The withdrawal address book. Not offered yet.
#include "server/exchange.h"

int Exchange::handle_add_addressbook(const korvane::AddressBook&) { return -1; }
int Exchange::handle_modify_addressbook(const korvane::ModifyAddressBook&) { return -1; }

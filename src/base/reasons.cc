#include "base/reasons.h"

const ReasonRow& reason_row(Reason reason) {
  for (const ReasonRow& row : kReasonTable) {
    if (row.reason == reason) return row;
  }
  return kReasonTable[0];  // unreachable: every reason has its row (reasons_test)
}

Reason reason_of_error(unsigned int code) {
  switch (code) {
    case 1062:  // ER_DUP_ENTRY: the one unique key client text reaches is the name
      return Reason::kNameTaken;
    case 1064:  // ER_PARSE_ERROR: a NUL byte cut the statement inside its quotes
      return Reason::kBadText;
    case 1292:  // ER_TRUNCATED_WRONG_VALUE: FROM_UNIXTIME past 2038
      return Reason::kBadTime;
    case 1264:  // ER_WARN_DATA_OUT_OF_RANGE
    case 1690:  // ER_DATA_OUT_OF_RANGE
    case 4025:  // ER_CONSTRAINT_FAILED
      return Reason::kTooLarge;
    case 1406:  // ER_DATA_TOO_LONG
      return Reason::kTooLong;
    default:
      return Reason::kDatabase;
  }
}

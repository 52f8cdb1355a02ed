#include "base/reasons.h"

const ReasonRow& reason_row(Reason reason) {
  for (const ReasonRow& row : kReasonTable) {
    if (row.reason == reason) return row;
  }
  return kReasonTable[0];  // unreachable: every reason has its row (reasons_test)
}

// Where monitoring stopped (CHECKEDSTATE): the only code that reads or writes
// the checked entry, the checked time and the first-start flag in the
// registry. The main thread reads the flag at start-up; the monitoring thread
// loads the rest when it starts, moves the entry during the pass and records
// each successful poll. Nothing here keeps a copy: the record is handed in.
#pragma once

#include <string>

#include "ZavTypes.h"

// The first-start flag: 0 when "ServiceStart" is missing.
void GetServiceStart(CHECKEDSTATE &tagChecked);
int SetServiceStart();

// The checked entry; a missing "ReadEventNumber" marks a first start.
bool GetCheckedImlInfo(CHECKEDSTATE &tagChecked);
bool SetCheckedImlInfo(CHECKEDSTATE &tagChecked, const IMLINFO &tagIml);
std::string GetCheckedTime();
int SetCheckedTime(std::string strText);

// The monitoring thread's start: the checked entry, then the checked time.
void LoadCheckedState(CHECKEDSTATE &tagChecked);
// The end of a successful poll: its controller time is the checked time, and
// the first start is over.
void RecordCheckedPoll(CHECKEDSTATE &tagChecked, const std::string &strTime);

// Whether the pass handles an entry: not the checked one, and new or updated
// no earlier than the checked time.
bool IsUpdatedEvent(const CHECKEDSTATE &tagChecked, const IMLINFO &tagIml, int bNew);

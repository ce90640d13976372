// Internal interfaces of the report library: the journal entry with its
// syslog fallback, and the JSON-lines indication file.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

#include "Guards.h"
#include "ZavTypes.h"

bool IsUtf8(const std::string &s);

// Writes one journal entry made of the "NAME=value" fields; without a journal
// socket the message goes to syslog instead. Waits at most 100 ms.
void DeliverToJournal(const std::vector<std::string> &fields, int nPriority, const std::string &strMessage);

// One syslog line (facility user, identifier ZAVsmsrv); never waits.
void SendSyslogLine(int nPriority, const std::string &strText);

// The registry switch IndicationFile, read once per process.
bool IndicationFileEnabled();

// Appends the record as one JSON line; 0, or the errno of the failure.
int AppendIndicationFile(const INDICATIONINFO &info, const std::vector<std::string> &strings);

// Internal interfaces of the report library: the journal entry with its
// syslog fallback, and the JSON-lines indication file.
#pragma once

#include <unistd.h>

#include <string>
#include <vector>

#include "Report.h"

// Owns one file descriptor and closes it on every path.
class UniqueFd {
public:
    explicit UniqueFd(int fd = -1) : m_fd(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) {
            Reset();
            m_fd = other.m_fd;
            other.m_fd = -1;
        }
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return m_fd; }
    bool Valid() const { return m_fd >= 0; }
    void Reset() {
        if (m_fd >= 0) (void)close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

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

// Fixtures shared by the unit tests: a scratch folder holding the registry
// root, the install folder (g_strZavDir) and the operation log, with every
// global the service keeps put back to its program-start value.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "NTwin32.h"

// A fresh scratch folder, removed at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::string &path() const { return m_strPath; }
    std::string file(const std::string &rel) const { return m_strPath + "/" + rel; }

private:
    std::string m_strPath;
};

// Test base: scratch registry (with the service's keys), install folder with
// log/ and data/, operation log at level 5 in log/zavsmflw.log, all globals reset.
class ZavTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Registry helpers writing value files directly in the fixed format.
    void CreateKey(const std::string &strKey);
    void WriteValueFile(const std::string &strKey, const std::string &strName, const std::string &strContent);
    std::string ReadValueFile(const std::string &strKey, const std::string &strName);
    std::string ValueFilePath(const std::string &strKey, const std::string &strName);

    // The operation log's lines with the 20-character time stamp cut off.
    std::vector<std::string> LogMessages();
    bool LogHas(const std::string &strMessage);
    std::string ReadFile(const std::string &strPath);
    void WriteFile(const std::string &strPath, const std::string &strContent);

    ScratchDir m_dir;
};

// ZavTest with the trace library writing at detail level into the scratch
// folder, for the modules whose failures are traced rather than logged.
class TracedTest : public ZavTest {
protected:
    explicit TracedTest(const char *pszModule) : m_strModule(pszModule) {}
    void SetUp() override;
    void TearDown() override;
    // A trace record of this module at this level whose text is exactly strText.
    bool TraceHas(int nLevel, const std::string &strText);
    void ClearTrace();

private:
    std::string m_strModule;
};

// Puts every service global back to its program-start value.
void ResetServiceGlobals();

// Captures SendIndication calls (the record and copies of its five strings).
struct CapturedIndication {
    DWORD dwReserved1, dwReserved2, dwEventID, dwEventType, dwStringCount, dwPadding;
    std::string strSource;
    std::vector<std::string> vecStrings;
};
std::vector<CapturedIndication> &CapturedIndications();
// Installs the capturing SendIndication into g_SendIndication and clears the list.
void CaptureIndications();

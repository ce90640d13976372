// Shared by the unit tests: a scratch install (registry root, log folder, the
// operation log at level 5) with every service global reset, and a capturing
// SendIndication.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ZavTypes.h"

class ZavTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::string Path(const std::string &strRel) const { return m_strDir + "/" + strRel; }
    // The folder of a registry key (made with its parents) and a value file in it.
    std::string Key(const std::string &strKey);
    std::string ValuePath(const std::string &strKey, const std::string &strName) { return Key(strKey + "\\V_" + strName); }
    void SetValue(const std::string &strKey, const std::string &strName, const std::string &strText) {
        Write(ValuePath(strKey, strName), strText);
    }
    static std::string Read(const std::string &strPath);
    static void Write(const std::string &strPath, const std::string &strText);
    // The operation log's lines without their time stamps.
    std::vector<std::string> Log();
    bool LogHas(const std::string &strLine);
    std::string m_strBase = "/tmp";  // where the scratch folder is made
    std::string m_strDir;
};

// "2026-12-06 01:00:SS"
std::string T(int nSecond);

// Each SendIndication call as one text: "ID type=T n=N r=R1/R2/P source|s0|s1|s2|s3|s4".
std::vector<std::string> &Indications();

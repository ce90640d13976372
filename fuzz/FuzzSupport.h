#pragma once

#include <cstdlib>
#include <string>

// A scratch install folder with data/ for the whole fuzzing run.
inline std::string FuzzScratch() {
    char tmpl[] = "/tmp/zavfuzz-XXXXXX";
    const char *p = mkdtemp(tmpl);
    if (!p) abort();
    const std::string strDir = p;
    if (system(("mkdir -p '" + strDir + "/data'").c_str()) != 0) abort();
    return strDir;
}

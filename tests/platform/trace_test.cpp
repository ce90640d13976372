// The trace library: record format, rotation, threads, closed descriptors.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <thread>
#include <vector>

#include "ProcUtil.h"
#include "TestSupport.h"
#include "TraceLog.h"

namespace {

std::vector<std::string> Lines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> out;
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

}  // namespace

TEST(Trace, RecordsCarryTheirFieldsAndDetailIsOptIn) {
    ScratchDir dir;
    const std::string path = dir.file("trace.log");
    TraceLogInit(path.c_str(), "ZAVsmsrv", 1024, 2, 0);
    TraceLogSetDetail(0);
    TraceLog(3, "Monitoring", "ZavMonitoringThread", 42, "Start loop.");
    TraceLog(0, "Monitoring", "ZavMonitoringThread", 43, "hidden %d", 1);
    TraceLogSetDetail(1);
    TraceLog(0, "Setting", "IsTargetEvent", 44, "shown %s", "%s %n");  // data is never a format
    TraceLogSetDetail(0);
    const auto lines = Lines(path);
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("[3] Monitoring ZavMonitoringThread(42): Start loop.")) << lines[0];
    EXPECT_NE(std::string::npos, lines[1].find("[0] Setting IsTargetEvent(44): shown %s %n")) << lines[1];
    EXPECT_EQ(std::to_string(getpid()), lines[0].substr(25, std::to_string(getpid()).size())) << lines[0];
}

TEST(Trace, RotatesIntoNumberedGenerationsKeepingOnlyTheConfiguredOnes) {
    ScratchDir dir;
    const std::string path = dir.file("trace.log");
    TraceLogInit(path.c_str(), "ZAVsmsrv", 1, 2, 0);  // 1 KB, two backups
    const std::string text(200, 'x');
    for (int i = 0; i < 40; ++i) TraceLog(1, "T", "f", i, "%s", text.c_str());
    std::ifstream cur(path), one(path + ".1"), two(path + ".2"), three(path + ".3");
    EXPECT_TRUE(cur.good() && one.good() && two.good());
    EXPECT_FALSE(three.good()) << "only the configured generations are kept";
    for (const auto &p : {path, path + ".1", path + ".2"}) {
        std::ifstream f(p, std::ios::ate);
        EXPECT_LE(int(f.tellg()), 1024 + 300) << p;
    }
}

// The daemon closes every descriptor from 3 after the trace is set up; the
// trace must reopen its file rather than write into a recycled descriptor.
TEST(Trace, SurvivesItsDescriptorBeingClosedAndReused) {
    ScratchDir dir;
    const std::string path = dir.file("trace.log");
    const std::string other = dir.file("other.txt");
    const pid_t pid = fork();
    if (pid == 0) {
        TraceLogInit(path.c_str(), "ZAVsmsrv", 1024, 1, 0);
        TraceLog(1, "T", "f", 1, "before");
        close_allfd(3);
        const int fd = open(other.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);  // takes a freed number
        TraceLog(1, "T", "f", 2, "after");
        if (fd >= 0) close(fd);
        _exit(0);
    }
    int status = -1;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const auto lines = Lines(path);
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ("after", lines.back().substr(lines.back().size() - 5));
    EXPECT_TRUE(Lines(other).empty()) << "a trace record went into another file";
}

TEST(Trace, TwoThreadsLoseAndInterleaveNothing) {
    ScratchDir dir;
    const std::string path = dir.file("trace.log");
    TraceLogInit(path.c_str(), "ZAVsmsrv", 4096, 1, 0);
    auto writer = [](int id) {
        for (int i = 0; i < 2000; ++i) TraceLog(1, "T", "w", id, "thread %d record %d end", id, i);
    };
    std::thread a(writer, 1), b(writer, 2);
    a.join();
    b.join();
    const auto lines = Lines(path);
    ASSERT_EQ(4000u, lines.size());
    int perThread[3] = {0, 0, 0};
    for (const auto &l : lines) {
        ASSERT_EQ(" end", l.substr(l.size() - 4)) << l;
        perThread[l.find("thread 1 ") != std::string::npos ? 1 : 2]++;
    }
    EXPECT_EQ(2000, perThread[1]);
    EXPECT_EQ(2000, perThread[2]);
}

TEST(Trace, HugeGenerationCountsAreCapped) {
    ScratchDir dir;
    const std::string path = dir.file("trace.log");
    TraceLogInit(path.c_str(), "ZAVsmsrv", 1, 4294967295u, 0);
    const std::string text(600, 'y');
    for (int i = 0; i < 6; ++i) TraceLog(1, "T", "f", i, "%s", text.c_str());  // rotations finish at once
    std::ifstream one(path + ".1");
    EXPECT_TRUE(one.good());
}

#include "PelKit/Models.hpp"
#include "PelKit/Proc.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>

#include <sys/wait.h>

using namespace pelkit;

// How a run waits for its tool: on a process descriptor where the kernel has one, else by looking
// at the child on a short interval. Both ways must give the same results.
namespace {

enum class Wait { descriptor, interval };

std::string name(const ::testing::TestParamInfo<Wait>& info) {
    return info.param == Wait::descriptor ? "OnADescriptor" : "OnAnInterval";
}

std::size_t openDescriptors() {
    std::size_t n = 0;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd"); it != decltype(it)(); ++it)
        ++n;
    return n;
}

class ProcExitWait : public ::testing::TestWithParam<Wait> {
protected:
    void SetUp() override {
        if (GetParam() == Wait::interval) fallback_.emplace();
    }
    std::optional<pelkit::testing::ScopedNoProcessDescriptors> fallback_;
};

} // namespace

TEST_P(ProcExitWait, StatusesAndOutputOfManyShortRunsLeaveNothingOpenOrUnreaped) {
    const std::size_t before = openDescriptors();
    for (int i = 0; i < 20; ++i) {
        ProcResult r = Proc::run("/bin/sh", {"-c", "printf '%s' \"$0\"; printf e >&2; exit $0", std::to_string(i)},
                                 30);
        EXPECT_EQ(r.status, i);
        EXPECT_EQ(r.stdout, std::to_string(i));
        EXPECT_EQ(r.stderr, "e");
    }
    EXPECT_EQ(openDescriptors(), before);
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_P(ProcExitWait, AToolThatClosesItsOutputsIsStillAwaitedToItsEnd) {
    ProcResult r = Proc::run("/bin/sh", {"-c", "echo early; exec >&- 2>&-; sleep 0.3; exit 7"}, 30);
    EXPECT_EQ(r.status, 7);
    EXPECT_EQ(r.stdout, "early\n");
}

TEST_P(ProcExitWait, TimeOutsStillStrikeAndEndTheTool) {
    try {
        Proc::run("/bin/sh", {"-c", "exec sleep 30"}, 0.3);
        ADD_FAILURE() << "no time-out";
    } catch (const PelError& e) {
        EXPECT_EQ(e.message(), "/bin/sh timeout after 0s");
    }
    errno = 0;
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

INSTANTIATE_TEST_SUITE_P(BothWays, ProcExitWait, ::testing::Values(Wait::descriptor, Wait::interval), name);

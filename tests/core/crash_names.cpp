// Names the running test when the process dies of a signal (std::terminate and every other
// abort, a crash): GoogleTest's output leaves the test unnamed then, brief or not.
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <thread>

#include "test_support.h"

namespace {

constexpr int kSignals[] = {SIGABRT, SIGSEGV, SIGBUS, SIGFPE, SIGILL};

char running[512] = "(no test running)";  // set before each test starts; read by the handler
struct sigaction previous[std::size(kSignals)];

void say(const char* text) {
  // Async-signal-safe: write(2) only; a short write loses the rest of the notice, nothing else.
  if (write(STDERR_FILENO, text, std::strlen(text)) < 0) return;
}

void on_fatal_signal(int sig) {
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    if (kSignals[i] != sig) continue;
    say("\n*** velk_core_tests: ");
    say(sig == SIGABRT ? "aborted" : "crashed");
    say(" in test ");
    say(running);
    say("\n");
    // The handler there before (the default, or a sanitizer's) takes the signal over: an abort
    // is raised again once this handler returns, a fault recurs at the faulting instruction.
    sigaction(sig, &previous[i], nullptr);
    if (sig == SIGABRT) raise(sig);
    return;
  }
}

class NameRunningTest : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo& test) override {
    std::snprintf(running, sizeof(running), "%s.%s", test.test_suite_name(), test.name());
  }
  void OnTestEnd(const testing::TestInfo&) override {
    std::snprintf(running, sizeof(running), "(between tests)");
  }
};

[[maybe_unused]] const bool installed = [] {
  testing::UnitTest::GetInstance()->listeners().Append(new NameRunningTest);
  for (size_t i = 0; i < std::size(kSignals); ++i) {
    struct sigaction action {};
    action.sa_handler = on_fatal_signal;
    sigemptyset(&action.sa_mask);
    sigaction(kSignals[i], &action, &previous[i]);
  }
  return true;
}();

}  // namespace

// An exception escaping a thread ends the run in std::terminate; the notice names the test.
TEST(CrashNames, AnAbortNamesTheRunningTest) {
#ifdef VELK_TEST_SANITIZED
  GTEST_SKIP() << "the sanitizers' own threads make the death test's fork a warned one";
#endif
  EXPECT_DEATH(std::thread([] { throw std::runtime_error("escaped"); }).join(),
               "aborted in test CrashNames\\.AnAbortNamesTheRunningTest");
}

// An exception escaping a thread of run_threads fails the test, with its message, and the run
// goes on.
TEST(CrashNames, AnExceptionEscapingAThreadOfRunThreadsFailsTheTest) {
  EXPECT_NONFATAL_FAILURE_ON_ALL_THREADS(
      velk_test::run_threads(3,
                             [](int t) {
                               if (t == 1) throw std::runtime_error("escaped");
                             }),
      "thread 1 raised: escaped");
}

#include "app/process_run_end.h"

#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <string>

#include <gtest/gtest.h>

namespace norvel::app {
namespace {

using File = std::unique_ptr<std::FILE, decltype(&std::fclose)>;

std::string contents(std::FILE* file) {
  std::rewind(file);
  std::string text;
  for (int c; (c = std::fgetc(file)) != EOF;)
    text.push_back(static_cast<char>(c));
  return text;
}

TEST(WriteResultTest, WritesTheDocumentExactly) {
  File out(std::tmpfile(), &std::fclose);
  File err(std::tmpfile(), &std::fclose);
  EXPECT_EQ(writeResult(out.get(), err.get(), "{\n}\n"), 0);
  EXPECT_EQ(contents(out.get()), "{\n}\n");
  EXPECT_EQ(contents(err.get()), "");
}

TEST(WriteResultTest, FullDeviceFailsWithItsReason) {
  File out(std::fopen("/dev/full", "w"), &std::fclose);
  ASSERT_NE(out, nullptr);
  File err(std::tmpfile(), &std::fclose);
  EXPECT_EQ(writeResult(out.get(), err.get(), "{\n}\n"), 1);
  EXPECT_EQ(contents(err.get()), "Error: Failed to write output: No space left on device\n");
}

TEST(WriteResultTest, ClosedPipeFailsInsteadOfKillingTheProcess) {
  auto previous = std::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  close(fds[0]);
  File out(fdopen(fds[1], "w"), &std::fclose);
  File err(std::tmpfile(), &std::fclose);
  EXPECT_EQ(writeResult(out.get(), err.get(), "{\n}\n"), 1);
  EXPECT_EQ(contents(err.get()), "Error: Failed to write output: Broken pipe\n");
  std::signal(SIGPIPE, previous);
}

}  // namespace
}  // namespace norvel::app

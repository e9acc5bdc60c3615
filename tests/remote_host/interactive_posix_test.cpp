// remote-host --interactive on a pseudo-terminal: a key held by the
// terminal's repeat is reported live, let go when the repeat stops, and q
// ends the run cleanly with its summary.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

class Terminal {
 public:
  bool Start(const std::string& dir) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      execl(REMOTE_HOST_PATH, REMOTE_HOST_PATH, "--interactive", "--dir", dir.c_str(),
            static_cast<char*>(nullptr));
      _exit(127);
    }
    return pid_ > 0;
  }
  void Type(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads what the program printed until `text` shows or `timeout` passes.
  bool WaitFor(const std::string& text, std::chrono::milliseconds timeout = 5000ms) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (screen_.find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      Drain(10);
    }
    return true;
  }
  // Reads what the program prints for `ms` milliseconds, or until
  // `deadline`, or until it closes the terminal: a key typed after
  // Drain(1000) comes 1000 ms later, however the output was cut into reads.
  void Drain(int ms) {
    DrainUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
  }
  void DrainUntil(std::chrono::steady_clock::time_point deadline) {
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd in{master_, POLLIN, 0};
      if (left.count() <= 0 || poll(&in, 1, static_cast<int>(left.count())) <= 0) return;
      char buffer[4096];
      const ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) return;
      screen_.append(buffer, static_cast<size_t>(n));
    }
  }
  // The exit status, within 5 s. Once the program has closed the terminal,
  // poll no longer waits, so the time is kept here.
  int Wait() {
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
      Drain(10);
      if (waitpid(pid_, &status, WNOHANG) == pid_) return status;
      std::this_thread::sleep_for(5ms);
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
    return -1;
  }
  size_t Count(const std::string& text) const {
    size_t n = 0;
    for (size_t at = screen_.find(text); at != std::string::npos; at = screen_.find(text, at + 1)) {
      ++n;
    }
    return n;
  }
  const std::string& screen() const { return screen_; }
  ~Terminal() {
    if (master_ >= 0) close(master_);
  }

 private:
  pid_t pid_ = -1;
  int master_ = -1;
  std::string screen_;
};

TEST(RemoteHostInteractive, KeysInReportsOutQQuits) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("remote-host-pty-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::FILE* ini = std::fopen((dir / "pyx.ini").c_str(), "w");
  ASSERT_NE(ini, nullptr);
  std::fputs("[PYXRemote Keys]\nKey_Play=37\n", ini);
  std::fclose(ini);
  Terminal terminal;
  ASSERT_TRUE(terminal.Start(dir.string()));
  ASSERT_TRUE(terminal.WaitFor("q quits")) << terminal.screen();

  // p, repeated as a terminal repeats a held key: 1.3 s at 30 ms, on a fixed
  // schedule, so that late wake-ups do not add up to a longer hold.
  const auto typing = std::chrono::steady_clock::now();
  for (int i = 0; i < 43; ++i) {
    terminal.Type("p");
    terminal.DrainUntil(typing + (i + 1) * 30ms);
  }
  ASSERT_TRUE(terminal.WaitFor("Key_Power          Power")) << terminal.screen();
  terminal.Drain(400);
  const size_t power_reports = terminal.Count("Key_Power          Power");
  EXPECT_EQ(power_reports, 2u) << "at once and after 1000 ms\n" << terminal.screen();

  terminal.Type("\x1b[A");  // up arrow: one press, no repeat
  ASSERT_TRUE(terminal.WaitFor("Key_ChannelUp      ChannelUp")) << terminal.screen();
  terminal.Drain(1000);
  // Play, which pyx.ini gives code 37; Cyan, which has no code.
  terminal.Type("y");
  ASSERT_TRUE(terminal.WaitFor("[Play held, code 37 as pyx.ini moves it]")) << terminal.screen();
  ASSERT_TRUE(terminal.WaitFor("Key_Play ")) << terminal.screen();
  terminal.Drain(1000);
  terminal.Type("k");
  ASSERT_TRUE(terminal.WaitFor("[Cyan: Key_Cyan has code 255")) << terminal.screen();
  terminal.Type("q");
  const int status = terminal.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << "\n"
                                                             << terminal.screen();
  EXPECT_TRUE(terminal.WaitFor("summary", 100ms)) << terminal.screen();
  EXPECT_EQ(terminal.Count("Key_ChannelUp      ChannelUp"), 1u) << terminal.screen();
  EXPECT_NE(terminal.screen().find("Tarvikon: Break event received. Bye!"), std::string::npos);
  std::filesystem::remove_all(dir);
}

}  // namespace

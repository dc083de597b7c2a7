// Runs the built zovozudo binary as a user would and collects what it printed, for the tests of
// tools/. The binaries' paths come from the build (see tools/CMakeLists.txt).
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace cli_testing {

// The command-line host and the stand-in plug-in of tests/tools/FakePlugin.cpp.
const char* cliPath();
const char* fakePluginPath();

struct CliResult {
    int status = -1;  // the exit status, or 128 + the signal that ended the process
    std::string out;
    std::string err;
    // With CliOptions::interruptWhen: seconds from the SIGINT to the end of the process; -1
    // when none was sent.
    double secondsAfterInterrupt = -1;
};

struct CliOptions {
    // NAME=VALUE entries added to (or replacing those of) this process's environment.
    std::vector<std::string> environment;
    // Stop reading standard output and close it after this many bytes, as `| head -c` would.
    size_t closeStdoutAfter = static_cast<size_t>(-1);
    // Checked every 10 ms while the program runs; once it returns true the program gets SIGINT,
    // as from Ctrl-C, and is killed if it has not ended 5 seconds later.
    std::function<bool()> interruptWhen = nullptr;
};

// Runs zovozudo with |args| (the program name not included), stdin on /dev/null, and waits for it.
CliResult runCli(const std::vector<std::string>& args, const CliOptions& options = {});

// A fresh folder, removed with its contents when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // Writes |bytes| to a file of that name in the folder and returns its path.
    std::string write(const std::string& name, const std::string& bytes) const;
    // The file's contents; empty when it cannot be read.
    static std::string read(const std::string& path);

  private:
    std::string path_;
};

// The lines of |text|, without their "\n".
std::vector<std::string> splitLines(const std::string& text);

}  // namespace cli_testing

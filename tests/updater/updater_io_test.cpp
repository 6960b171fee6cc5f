#include "updater/updater_io.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/temp_dir.hpp"

using kivd::test::read_file;
using kivd::test::TempDir;
using namespace kiv_updater;
namespace fs = std::filesystem;

namespace {

// A real program of this machine: the test program itself, plus a marker
// after its end (the loader ignores trailing bytes).
std::string program_with_marker(const TempDir& dir, const std::string& name, const std::string& marker) {
  const std::string path = dir.file(name);
  fs::copy_file("/proc/self/exe", path, fs::copy_options::overwrite_existing);
  std::ofstream(path, std::ios::binary | std::ios::app) << "MARK:" << marker;
  ::chmod(path.c_str(), 0755);
  return path;
}

mode_t mode_of(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

int entries_in(const std::string& dir) {
  int n = 0;
  for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir)) ++n;
  return n;
}

}  // namespace

TEST(UpdaterCheck, AcceptsAProgramOfThisMachine) {
  TempDir d;
  EXPECT_EQ(check_program(program_with_marker(d, "kivd", "x")), "");
}

TEST(UpdaterCheck, RefusesWhatCannotRunHere) {
  TempDir d;
  d.write("script", "#!/bin/sh\necho hi\n");
  d.write("empty", "");
  d.write("short", "\x7f" "ELF");
  EXPECT_NE(check_program(d.file("script")), "");
  EXPECT_NE(check_program(d.file("empty")), "");
  EXPECT_NE(check_program(d.file("short")), "");
  EXPECT_NE(check_program(d.file("missing")), "");
  EXPECT_NE(check_program(d.path()), "");

  // Same file with another architecture in e_machine (bytes 18-19).
  std::string other = read_file("/proc/self/exe").substr(0, 4096);
  other[18] = static_cast<char>(other[18] ^ 0x5a);
  d.write("foreign", other);
  EXPECT_NE(check_program(d.file("foreign")).find("another machine"), std::string::npos);

  // A relocatable object (e_type 1) is not a program.
  std::string object = read_file("/proc/self/exe").substr(0, 4096);
  object[16] = 1, object[17] = 0;
  d.write("object.o", object);
  EXPECT_NE(check_program(d.file("object.o")), "");
}

TEST(UpdaterInstall, NewDestinationGetsTheBytesAndExecuteBits) {
  TempDir d;
  d.write("src", "new program bytes");
  ::chmod(d.file("src").c_str(), 0600);
  fs::create_directories(d.file("bin"));
  ASSERT_EQ(install_program(d.file("src"), d.file("bin/kivd")), "");
  EXPECT_EQ(d.read("bin/kivd"), "new program bytes");
  const mode_t umask_now = ::umask(0);
  ::umask(umask_now);
  EXPECT_EQ(mode_of(d.file("bin/kivd")), (0600 | (0111 & ~umask_now)));
  EXPECT_EQ(entries_in(d.file("bin")), 1) << "no temporary file left";
}

TEST(UpdaterInstall, ReplacesAndKeepsTheInstalledMode) {
  TempDir d;
  d.write("src", std::string(200000, 'n'));
  d.write("bin/kivd", "old");
  ::chmod(d.file("bin/kivd").c_str(), 0750);
  struct stat before;
  ::stat(d.file("bin/kivd").c_str(), &before);
  ASSERT_EQ(install_program(d.file("src"), d.file("bin/kivd")), "");
  EXPECT_EQ(d.read("bin/kivd"), std::string(200000, 'n'));
  EXPECT_EQ(mode_of(d.file("bin/kivd")), 0750u);
  struct stat after;
  ::stat(d.file("bin/kivd").c_str(), &after);
  EXPECT_NE(before.st_ino, after.st_ino) << "replaced by rename, not rewritten in place";
  EXPECT_EQ(entries_in(d.file("bin")), 1);
}

TEST(UpdaterInstall, MissingSourceOrFolderLeavesTheOldProgram) {
  TempDir d;
  d.write("bin/kivd", "old");
  EXPECT_NE(install_program(d.file("nothing"), d.file("bin/kivd")), "");
  EXPECT_EQ(d.read("bin/kivd"), "old");
  d.write("src", "new");
  EXPECT_NE(install_program(d.file("src"), d.file("nofolder/kivd")), "");
  EXPECT_NE(install_program(d.path(), d.file("bin/kivd")), "") << "a folder is no program";
  EXPECT_EQ(d.read("bin/kivd"), "old");
  EXPECT_EQ(entries_in(d.file("bin")), 1);
}

// A copy that fails half-way (file size limit: the write stops with EFBIG)
// must leave the installed program whole and no temporary file behind.
TEST(UpdaterInstall, WriteFailingMidwayKeepsTheOldProgram) {
  TempDir d;
  d.write("src", std::string(300000, 'n'));
  d.write("bin/kivd", "old program");
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit lim{100000, 100000};
    ::setrlimit(RLIMIT_FSIZE, &lim);
    const std::string err = install_program(d.file("src"), d.file("bin/kivd"));
    ::_exit(err.find("cannot write") != std::string::npos ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the failure is reported";
  EXPECT_EQ(d.read("bin/kivd"), "old program");
  EXPECT_EQ(entries_in(d.file("bin")), 1);
}

TEST(UpdaterInstall, LinkedDestinationReplacesItsTarget) {
  TempDir d;
  d.write("src", "new");
  d.write("real/kivd-2.6", "old");
  fs::create_directories(d.file("bin"));
  fs::create_symlink(d.file("real/kivd-2.6"), d.file("bin/kivd"));
  ASSERT_EQ(install_program(d.file("src"), d.file("bin/kivd")), "");
  EXPECT_TRUE(fs::is_symlink(d.file("bin/kivd")));
  EXPECT_EQ(d.read("real/kivd-2.6"), "new");
}

TEST(UpdaterResources, CopiesTheFolderIntoTheDestination) {
  TempDir d;
  d.write("upd/usr/local/kiv/resources/index.html", "<html>new</html>");
  d.write("upd/usr/local/kiv/resources/css/site.css", "body{}");
  ::chmod(d.file("upd/usr/local/kiv/resources/css/site.css").c_str(), 0604);
  fs::create_symlink("index.html", d.file("upd/usr/local/kiv/resources/start.html"));
  const fs::file_time_type when = fs::file_time_type::clock::now() - std::chrono::hours(48);
  fs::last_write_time(d.file("upd/usr/local/kiv/resources/index.html"), when);
  // The installed folder has an older page and a file of the user's.
  d.write("usr/local/kiv/resources/index.html", "<html>old</html>");
  d.write("usr/local/kiv/resources/own.txt", "mine");

  ASSERT_EQ(copy_tree(d.file("upd/usr/local/kiv"), d.file("usr/local")), "");
  EXPECT_EQ(d.read("usr/local/kiv/resources/index.html"), "<html>new</html>");
  EXPECT_EQ(d.read("usr/local/kiv/resources/css/site.css"), "body{}");
  EXPECT_EQ(mode_of(d.file("usr/local/kiv/resources/css/site.css")), 0604u);
  EXPECT_EQ(fs::read_symlink(d.file("usr/local/kiv/resources/start.html")), "index.html");
  EXPECT_EQ(fs::last_write_time(d.file("usr/local/kiv/resources/index.html")), when);
  EXPECT_EQ(d.read("usr/local/kiv/resources/own.txt"), "mine");
  EXPECT_EQ(entries_in(d.file("usr/local/kiv/resources")), 4) << "no temporary files left";
}

TEST(UpdaterResources, TrailingSlashAndFailures) {
  TempDir d;
  d.write("upd/kiv/a.html", "a");
  fs::create_directories(d.file("dest"));
  ASSERT_EQ(copy_tree(d.file("upd/kiv/"), d.file("dest")), "");
  EXPECT_EQ(d.read("dest/kiv/a.html"), "a");
  EXPECT_NE(copy_tree(d.file("upd/none"), d.file("dest")), "");
  EXPECT_NE(copy_tree(d.file("upd/kiv"), d.file("nodest")), "");
  EXPECT_NE(copy_tree(d.file("upd/kiv/a.html"), d.file("dest")), "") << "a file is no folder";
  // A plain file where the folder should go: reported, the file left alone.
  d.write("dest2/kiv", "file");
  EXPECT_NE(copy_tree(d.file("upd/kiv"), d.file("dest2")), "");
  EXPECT_EQ(d.read("dest2/kiv"), "file");
}

TEST(UpdaterLog, LineFormat) {
  TempDir d;
  log_message(d.file("kivd.log"), "KIV updater: started.");
  log_message(d.file("kivd.log"), "second 100%s");
  const std::string text = d.read("kivd.log");
  // "Mon Dec  7 13:19:50 2026 KIV updater: started.\n"
  ASSERT_GT(text.size(), 25u);
  EXPECT_EQ(text[24], ' ');
  EXPECT_EQ(text.substr(25, text.find('\n') - 25), "KIV updater: started.");
  EXPECT_NE(text.find(" second 100%s\n"), std::string::npos);
  log_message(d.file("no/folder/kivd.log"), "lost");  // dropped, no crash
  EXPECT_FALSE(FileExists(d.file("no/folder/kivd.log")));
  EXPECT_TRUE(FileExists(d.path()));
}

TEST(UpdaterCheck, RefusesAProgramCutShort) {
  TempDir d;
  const std::string whole = read_file(program_with_marker(d, "kivd", "x"));
  d.write("cut", whole.substr(0, whole.size() / 2));
  EXPECT_NE(check_program(d.file("cut")).find("cut short"), std::string::npos);
  d.write("header", whole.substr(0, 64));
  EXPECT_NE(check_program(d.file("header")), "");
}

// The install rules: cmake --install into a staging directory gives the documented tree.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "support/daemon_process.h"
#include "support/tool_process.h"

namespace vg::test {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// A variable of the build's cache, e.g. CMAKE_COMMAND.
std::string cacheValue(const std::string& buildDir, const std::string& name) {
    std::istringstream cache(readFile(buildDir + "/CMakeCache.txt"));
    std::string line;
    while (std::getline(cache, line)) {
        if (line.rfind(name + ":", 0) == 0) return line.substr(line.find('=') + 1);
    }
    return "";
}

bool isRegular(const std::string& path, mode_t* mode = nullptr) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (mode != nullptr) *mode = st.st_mode;
    return true;
}

TEST(Install, DestdirTreeHoldsTheDocumentedFilesAndNoLiveConfig) {
    const std::string buildDir = VG_BIN_DIR;
    ASSERT_TRUE(isRegular(buildDir + "/cmake_install.cmake"))
        << buildDir << " is not the build directory";
    const std::string cmake = cacheValue(buildDir, "CMAKE_COMMAND");
    ASSERT_FALSE(cmake.empty());

    TempDir dest;
    // env(1) sets DESTDIR for the install alone.
    ToolRun run = runTool({"/usr/bin/env", "DESTDIR=" + dest.path(), cmake, "--install", buildDir,
                           "--prefix", "/usr/local"},
                          "", 120000ms);
    ASSERT_EQ(run.status, 0) << run.out << run.err;

    const std::string root = dest.path() + "/usr/local/";
    // The manual directory is share/man on Linux and man on FreeBSD.
    std::string mandir;
    for (const char* candidate : {"share/man", "man"}) {
        if (isRegular(root + candidate + "/man8/vellumgard.8")) mandir = candidate;
    }
    ASSERT_FALSE(mandir.empty()) << "no man8/vellumgard.8 under " << root;
    for (const char* exe : {"sbin/vellumgard", "bin/vellumgard-auth", "bin/vellumgard-key",
                            "share/vellumgard/freebsd/rc.d/vellumgard"}) {
        mode_t mode = 0;
        EXPECT_TRUE(isRegular(root + exe, &mode)) << exe;
        EXPECT_EQ(mode & 0111, 0111u) << exe << " is not executable";
    }
    // The installed files are the tree's own, not stale or empty copies.
    const std::string src = VG_SOURCE_DIR;
    const std::pair<std::string, std::string> copies[] = {
        {mandir + "/man1/vellumgard-auth.1", "man/vellumgard-auth.1"},
        {mandir + "/man1/vellumgard-key.1", "man/vellumgard-key.1"},
        {mandir + "/man5/vellumgard.conf.5", "man/vellumgard.conf.5"},
        {mandir + "/man8/vellumgard.8", "man/vellumgard.8"},
        {"etc/vellumgard.conf.sample", "contrib/vellumgard.conf.sample"},
        {"share/vellumgard/systemd/vellumgard.service", "contrib/systemd/vellumgard.service"},
    };
    for (const auto& [installed, source] : copies) {
        ASSERT_TRUE(isRegular(root + installed)) << installed;
        std::string content = readFile(root + installed);
        EXPECT_FALSE(content.empty()) << installed;
        EXPECT_EQ(content, readFile(src + "/" + source)) << installed;
    }
    // The rc.d script is installed from the port's template, its prefix filled in.
    const std::string rc = readFile(root + "share/vellumgard/freebsd/rc.d/vellumgard");
    EXPECT_EQ(rc.find("%%"), std::string::npos);
    EXPECT_NE(rc.find("procname=/usr/local/sbin/vellumgard\n"), std::string::npos);
    struct stat st {};
    EXPECT_NE(::lstat((root + "etc/vellumgard.conf").c_str(), &st), 0)
        << "a live configuration must never be installed";

    // The port's packing list names exactly what is installed, less the
    // service files, which the port installs its own way.
    std::istringstream plist(readFile(src + "/contrib/freebsd/port/pkg-plist"));
    std::set<std::string> listed;
    for (std::string line; std::getline(plist, line);) {
        if (line.rfind("@sample ", 0) == 0) line.erase(0, 8);
        if (line.rfind("share/man/", 0) == 0) {
            // The port's manual directory, compressed by the ports framework.
            line = mandir + line.substr(9, line.size() - 9 - 3);
        }
        listed.insert(line);
    }
    std::set<std::string> installed;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
        const std::string rel = e.path().string().substr(root.size());
        if (e.is_regular_file() && rel.rfind("share/vellumgard/", 0) != 0) installed.insert(rel);
    }
    EXPECT_EQ(listed, installed);
}

TEST(Install, DistConfigurationNeedsNeitherTestLibrary) {
    // What a server without googletest or benchmark configures: the find
    // calls for both are disabled, so any that is still required fails.
    const std::string cmake = cacheValue(VG_BIN_DIR, "CMAKE_COMMAND");
    ASSERT_FALSE(cmake.empty());
    TempDir out;
    const std::string build = out.file("dist");
    ToolRun run = runTool(
        {cmake, "-S", VG_SOURCE_DIR, "--preset", "dist", "-B", build,
         "-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON", "-DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON"},
        "", 120000ms);
    ASSERT_EQ(run.status, 0) << run.out << run.err;
    const std::string graph = readFile(build + "/build.ninja");
    EXPECT_NE(graph.find("build vellumgard:"), std::string::npos);
    EXPECT_NE(graph.find("build vellumgard-key:"), std::string::npos);
    EXPECT_EQ(graph.find("_tests:"), std::string::npos) << "tests in the dist build";
}

}  // namespace
}  // namespace vg::test

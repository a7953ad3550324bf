// LibraryTest.cc - the built shared object as a program that loads it sees it: its soname and
// the version and build texts it exports.
#include <dlfcn.h>
#include <unistd.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>


namespace qmr_test {
namespace {

// The build and source trees, as ctest gives them.
std::string envDir(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : ".";
}
std::string buildDir() { return envDir("QMR_BUILD_DIR"); }
std::string sourceDir() { return envDir("QMR_SOURCE_DIR"); }

// This binary uses no symbol of the library, so in a normal build the linker drops it and
// dlopen() really loads it (sanitizer builds keep it linked). Regression: after the
// dlclose() below, omniORB's cleanup at exit used to touch the unmapped bindings and the test
// binary died with SIGSEGV after all tests had passed.
TEST(LibraryTest, DlopenedLibraryExportsTheVersionAndBuildTexts) {
  std::string path = buildDir() + "/lib/libqmr_client.so.1";
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(nullptr, handle) << ::dlerror();
  const char* version = static_cast<const char*>(::dlsym(handle, "SYS_VERSION"));
  ASSERT_NE(nullptr, version) << ::dlerror();
  EXPECT_STREQ("__SYS_VERSION = 2.14 (p1)", version);
  const char* info = static_cast<const char*>(::dlsym(handle, "QMR_BUILD_INFO"));
  ASSERT_NE(nullptr, info) << ::dlerror();
  EXPECT_NE(nullptr, std::strstr(info, "libqmr_client.so.1 2.14 from source ")) << info;
  // Reproducible: the text names the source, not who built it where.
  char host[256] = "";
  ::gethostname(host, sizeof host - 1);
  EXPECT_EQ(nullptr, std::strstr(info, sourceDir().c_str())) << info;
  EXPECT_EQ(nullptr, std::strstr(info, host)) << info;
  ::dlclose(handle);
}

TEST(LibraryTest, SharedObjectNameIsLibqmrClientSo1) {
  std::string command = "readelf -d '" + buildDir() + "/lib/libqmr_client.so.1' 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(nullptr, pipe);
  std::string out;
  char buf[512];
  while (std::fgets(buf, sizeof buf, pipe) != nullptr) out += buf;
  ASSERT_EQ(0, ::pclose(pipe)) << out;
  EXPECT_NE(std::string::npos, out.find("Library soname: [libqmr_client.so.1]")) << out;
}

}  // namespace
}  // namespace qmr_test

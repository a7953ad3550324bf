// HarnessTest.cc - the harness itself: services come up on loopback, channels get bound,
// and stopped services really are gone.
#include <gtest/gtest.h>
#include <signal.h>

#include "Harness.h"
#include "qmr/util/Lookup.h"

namespace qmr_test {
namespace {

TEST(HarnessTest, NamingServiceAnswersOnLoopback) {
  Stack& stack = Stack::instance();
  ASSERT_TRUE(stack.naming().running());
  CORBA::Object_var obj = stack.orb()->string_to_object(stack.naming().corbaloc().c_str());
  EXPECT_FALSE(obj->_non_existent());
}

TEST(HarnessTest, CreatedChannelIsBoundAndUnknownChannelIsNot) {
  Stack::instance().events().createChannel("HarnessTestChannel");
  CORBA::Object_var found = qmr_util::raw_lookup("HarnessTestChannel");
  EXPECT_FALSE(CORBA::is_nil(found));
  CORBA::Object_var missing = qmr_util::raw_lookup("HarnessTestNoSuchChannel");
  EXPECT_TRUE(CORBA::is_nil(missing));
}

TEST(HarnessTest, StoppedProcessIsReapedAndNoLongerRunning) {
  TempDir dir;
  Process p;
  p.start({"sleep", "30"}, dir.file("sleep.log"));
  pid_t pid = p.pid();
  ASSERT_TRUE(p.running());
  int status = p.stop(1000);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_FALSE(p.running());
  EXPECT_NE(0, ::kill(pid, 0));  // gone, not a zombie we still own
}

}  // namespace
}  // namespace qmr_test

// BaseExceptionTest.cc - the base exception keeps where and what through copies, and
// Python::none() hands out a counted reference to None.
#include <gtest/gtest.h>

#include <string>

#include "qmr/util/BaseException.h"
#include "qmr/util/Python.h"

namespace qmr_util {
namespace {

TEST(BaseExceptionTest, CopiesKeepMessageAndPlaceAndOutliveTheOriginal) {
  BaseException* original =
      new BaseException("DataStoreManager.cc", 42, "no session", "InitException");
  BaseException copy(*original);
  delete original;
  EXPECT_STREQ("no session", copy.what());
  EXPECT_STREQ("InitException at DataStoreManager.cc:42", copy.where());
  EXPECT_EQ(42u, copy.line());
  EXPECT_EQ("DataStoreManager.cc", copy.file());
  EXPECT_EQ("InitException", copy.type());

  BaseException assigned("x.cc", 1, "other", "Exception");
  assigned = copy;
  EXPECT_STREQ("no session", assigned.what());
  EXPECT_STREQ("InitException at DataStoreManager.cc:42", assigned.where());
}

class Derived : public BaseException {
 public:
  Derived() : BaseException("f.cc", 7, "derived message", "Derived") {}
};

TEST(BaseExceptionTest, DerivedExceptionThrownByValueIsCaughtThroughTheBase) {
  try {
    throw Derived();
  } catch (const BaseException& e) {
    EXPECT_STREQ("derived message", e.what());
    EXPECT_STREQ("Derived at f.cc:7", e.where());
    return;
  }
  FAIL() << "not caught as BaseException";
}

TEST(PythonTest, NoneIsReturnedAsANewReference) {
  bool started = !Py_IsInitialized();
  if (started) Py_InitializeEx(0);
  Py_ssize_t before = Py_REFCNT(Py_None);
  PyObject* none = Python::none();
  EXPECT_EQ(Py_None, none);
  EXPECT_EQ(before + 1, Py_REFCNT(Py_None));
  Py_DECREF(none);
  EXPECT_EQ(before, Py_REFCNT(Py_None));
  if (started) Py_FinalizeEx();
}

}  // namespace
}  // namespace qmr_util

// BaseExceptionTest.cc - the base exception keeps where and what through copies and when
// caught through the base, and Python::none() hands out a counted reference to None.
#include <gtest/gtest.h>

#include <string>

#include "qmr/util/BaseException.h"
#include "qmr/util/Python.h"

namespace qmr_util {
namespace {

class Derived : public BaseException {
 public:
  Derived() : BaseException("DataStoreManager.cc", 42, "no session", "InitException") {}
};

TEST(BaseExceptionTest, CopiesAndTheCaughtBaseKeepMessageAndPlace) {
  try {
    throw Derived();
  } catch (const BaseException& caught) {
    BaseException* original = new BaseException(caught);
    BaseException assigned("x.cc", 1, "other", "Exception");
    assigned = *original;
    delete original;  // the copy holds its own texts
    for (const BaseException* e : {&caught, static_cast<const BaseException*>(&assigned)}) {
      EXPECT_STREQ("no session", e->what());
      EXPECT_STREQ("InitException at DataStoreManager.cc:42", e->where());
      EXPECT_EQ(42u, e->line());
      EXPECT_EQ("DataStoreManager.cc", e->file());
      EXPECT_EQ("InitException", e->type());
    }
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
  if (started) Py_FinalizeEx();
}

}  // namespace
}  // namespace qmr_util

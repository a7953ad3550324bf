// Orb.h - the process ORB as the utility library sees it.
//
// A program that initialises its own ORB hands it over with Orb::set() (the host and the
// servers do); otherwise the first Orb::get() initialises one with no options. The lookups of
// Lookup.h resolve names through this ORB's "NameService" initial reference.
//
// Thread-safety: set() and release() belong to start-up and shut-down; get() may be called
// from any thread in between.
#ifndef QMR_UTIL_ORB_H
#define QMR_UTIL_ORB_H

#include <omniORB4/CORBA.h>

namespace qmr_util {

struct Orb {
  // Makes `orb` the process ORB; the utility library keeps its own duplicate.
  static void set(CORBA::ORB_ptr orb);
  // The process ORB, borrowed: the caller must not release it.
  static CORBA::ORB_ptr get();
  // Drops the utility library's reference (before the program destroys the ORB).
  static void release();
};

}  // namespace qmr_util

#endif  // QMR_UTIL_ORB_H

// Orb.h - the process ORB: its one start-up, and the ORB the utility library uses.
//
// Every program of this system starts its ORB with Orb::init(), which tunes the transport,
// sets up TLS when asked (TlsOptions.h), adds the start-up defaults (the installation's ORB
// configuration, a Unix socket endpoint) to the options the user gave and hands the ORB to the
// utility library. A program that initialises an ORB some other way hands it over with
// Orb::set(); otherwise the first Orb::get() initialises one with no options. The lookups of
// Lookup.h resolve names through this ORB's "NameService" initial reference.
//
// Thread-safety: init(), set() and release() belong to start-up and shut-down; get() may be
// called from any thread in between.
#ifndef QMR_UTIL_ORB_H
#define QMR_UTIL_ORB_H

#include <omniORB4/CORBA.h>

#include <string>

#include "qmr/util/BaseException.h"
#include "qmr/util/OrbOptions.h"

namespace qmr_util {

// The TLS settings cannot be used: what() names the file and what to do about it.
class TlsError : public BaseException {
 public:
  TlsError(const std::string& file, unsigned int line, const std::string& message)
      : BaseException(file, line, message, "TlsError") {}
};

struct Orb {
  // The options ORB_init gets: `given`, then each start-up default that `given` lacks: the
  // settings of the installation's ORB configuration (OrbConfig.h: where the packaged Naming
  // Service is), then -ORBendPoint giop:unix: (a Unix socket of omniORB's choosing: the
  // programs of this system serve the machine they run on). A configuration file that cannot
  // be read is logged as a warning and left out.
  static OrbOptions startUpOptions(const OrbOptions& given);

  // Applies the transport tuning (tuneTransport() of Transport.h); when options.tls(), with
  // the environment's QMR_TLS_* for what it lacks, names any TLS file, loads them and sets up
  // omniORB's SSL transport (TlsError when they cannot be used); then initialises the ORB with
  // `program` as argv[0] and startUpOptions(options), and makes it the process ORB (set()).
  // Returns a new reference that the caller owns (hold it in an ORB_var and destroy() the ORB
  // at the end, after release()). An option the ORB does not accept raises its system
  // exception (BAD_PARAM, INITIALIZE, ...).
  static CORBA::ORB_ptr init(const std::string& program, const OrbOptions& options);

  // Makes `orb` the process ORB; the utility library keeps its own duplicate.
  static void set(CORBA::ORB_ptr orb);
  // The process ORB, borrowed: the caller must not release it.
  static CORBA::ORB_ptr get();
  // Drops the utility library's reference (before the program destroys the ORB).
  static void release();
};

}  // namespace qmr_util

#endif  // QMR_UTIL_ORB_H

// ClientClass.h - the label under which the metrics count a client's open sessions: few
// values, so that a scrape stays small however many connections come and go.
//
// Thread-safety: a pure function.
#ifndef QMR_DATASTORED_CLIENTCLASS_H
#define QMR_DATASTORED_CLIENTCLASS_H

#include <string>

namespace qmr_datastored {

// The class of `client` (a session's client as the registry names it): the user, "uid:N",
// when the client is known by its uid (a Unix-domain peer, or a TCP peer on loopback); "tls"
// for a TLS peer known by its certificate; else how it connected: "loopback" (TCP from this
// machine, when the kernel did not name the user), "unix", "remote" (TCP from elsewhere),
// "in-process", or "other".
std::string clientClass(const std::string& client);

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_CLIENTCLASS_H

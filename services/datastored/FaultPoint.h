// FaultPoint.h - named pause points in the server, for tests that must force an interleaving
// of threads (a call checked against an ending session, for one). They exist only in the test
// build qmr-datastored-faults (QMR_DATASTORED_FAULTS defined); in qmr-datastored they are
// nothing at all.
#ifndef QMR_DATASTORED_FAULTPOINT_H
#define QMR_DATASTORED_FAULTPOINT_H

#ifdef QMR_DATASTORED_FAULTS
namespace qmr_datastored {
// Sleeps QMR_FAULT_PAUSE_MS milliseconds when `name` equals the environment's QMR_FAULT_POINT.
void faultPoint(const char* name);
}  // namespace qmr_datastored
#define QMR_FAULT_POINT(name) ::qmr_datastored::faultPoint(name)
#else
#define QMR_FAULT_POINT(name) ((void)0)
#endif

#endif  // QMR_DATASTORED_FAULTPOINT_H

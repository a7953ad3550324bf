// Engine.cc - the group transaction that every engine runs through its own steps.
#include "engine/Engine.h"

namespace qmr_datastored {

void Engine::commitGroup(const std::vector<const ChangeSet*>& members, int64_t now,
                         std::vector<std::exception_ptr>* failures,
                         std::vector<std::string>* purged) {
  failures->assign(members.size(), nullptr);
  try {
    begin();
    if (members.size() == 1) {
      write(*members[0], now);  // a failure undoes the whole transaction below
    } else {
      for (size_t i = 0; i < members.size(); ++i) {
        savepoint(Savepoint::kOpen);
        try {
          write(*members[i], now);
        } catch (const StoreError& e) {
          // A lost connection takes the whole transaction with it; any other failure only
          // this member's changes.
          if (e.kind() == StoreError::kUnavailable) throw;
          (*failures)[i] = std::current_exception();
          savepoint(Savepoint::kRollBack);
        }
        savepoint(Savepoint::kRelease);
      }
    }
    purge(now, purged);
    commit();
  } catch (...) {
    abandon();
    purged->clear();
    throw;
  }
}

}  // namespace qmr_datastored

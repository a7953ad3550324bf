// GenericChannelPush.h - pushes CORBA::Any values to named event channels of the CORBA Event
// Service, remembering one proxy push consumer per channel name.
//
// push() obtains a channel's consumer with qmr_util::get_push_consumer and, with caching on,
// keeps it for later pushes; a consumer whose push fails with a CORBA system exception is
// forgotten. The object owns its map and one reference per consumer in it.
//
// Thread-safety: none; one object must not be used by two threads at once.
#ifndef QMR_GENERICCHANNELPUSH_H
#define QMR_GENERICCHANNELPUSH_H

#include <omniORB4/CORBA.h>
#include <COS/CosEventChannelAdmin.hh>

#include <map>
#include <string>

namespace QMR_Client {

class GenericChannelPush {
 public:
  explicit GenericChannelPush(bool cacheEnabled);
  ~GenericChannelPush();
  GenericChannelPush(const GenericChannelPush&) = delete;
  GenericChannelPush& operator=(const GenericChannelPush&) = delete;

  // Publishes `value` on the channel named `channel`. True when the consumer's push returned,
  // false when no consumer could be had (logged at error level with the channel name) or a
  // CORBA system exception occurred (not logged; the consumer is forgotten). Other exceptions
  // (user exceptions of the consumer, such as CosEventComm::Disconnected) reach the caller.
  bool push(const std::string& channel, CORBA::Any& value);

  // The channels that have a remembered consumer, for inspection and tests.
  size_t cachedChannels() const { return pushMap_.size(); }
  bool isCached(const std::string& channel) const { return pushMap_.count(channel) != 0; }

 private:
  std::map<std::string, CosEventChannelAdmin::ProxyPushConsumer_var> pushMap_;
  bool cacheEnabled_;
};

}  // namespace QMR_Client

#endif  // QMR_GENERICCHANNELPUSH_H

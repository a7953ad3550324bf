// GenericChannelPush.cc - publishes CORBA::Any values on named event channels through the
// channels' proxy push consumers, remembering one consumer per channel name.
#include "qmr/GenericChannelPush.h"

#include "qmr/util/Log.h"
#include "qmr/util/Lookup.h"

namespace QMR_Client {

using CosEventChannelAdmin::ProxyPushConsumer;
using CosEventChannelAdmin::ProxyPushConsumer_var;

GenericChannelPush::GenericChannelPush(bool cacheEnabled) : cacheEnabled_(cacheEnabled) {}

// The map's _var holders release every consumer reference.
GenericChannelPush::~GenericChannelPush() = default;

bool GenericChannelPush::push(const std::string& channel, CORBA::Any& value) {
  ProxyPushConsumer_var consumer;  // released on every way out
  bool fromMap = false;            // the consumer came from pushMap_
  bool recorded = false;           // this call put the channel's entry into pushMap_
  try {
    if (cacheEnabled_) {
      auto found = pushMap_.find(channel);
      if (found != pushMap_.end()) {
        consumer = ProxyPushConsumer::_duplicate(found->second.in());
        fromMap = true;
      }
    }
    if (!fromMap) {
      consumer = qmr_util::get_push_consumer(channel);
      if (CORBA::is_nil(consumer)) {
        qmr_util::Log::primary()->error("Error getting push consumer for %s. Aborting push.",
                                        channel.c_str());
        return false;
      }
      // A unique insert: with caching off an earlier consumer of the name stays in the map.
      if (pushMap_.find(channel) == pushMap_.end()) {
        pushMap_.emplace(channel, ProxyPushConsumer::_duplicate(consumer.in()));
        recorded = true;
      }
      qmr_util::Log::primary()->info("Channel '%s' not in push map, adding it.", channel.c_str());
    }
    consumer->push(value);
    return true;
  } catch (CORBA::SystemException&) {
    // A consumer that failed this way is not kept: the next push obtains a new one. An entry
    // that an earlier call recorded (caching off) is left alone.
    if (fromMap || recorded) pushMap_.erase(channel);
    return false;
  }
}

}  // namespace QMR_Client

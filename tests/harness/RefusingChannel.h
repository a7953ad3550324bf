// RefusingChannel.h - an in-process event channel whose proxy push consumer refuses every
// event with CosEventComm::Disconnected, for tests that must force a consumer's user exception.
// Servants live on the caller's stack; bind channel._this() under a name and deactivate the
// three servants before they go out of scope. Called collocated, so `pushes` needs no lock.
#ifndef QMR_TESTS_HARNESS_REFUSINGCHANNEL_H
#define QMR_TESTS_HARNESS_REFUSINGCHANNEL_H

#include <COS/CosEventChannelAdmin.hh>
#include <COS/CosEventComm.hh>

namespace qmr_test {

class RefusingConsumer : public POA_CosEventChannelAdmin::ProxyPushConsumer {
 public:
  void push(const CORBA::Any&) override {
    ++pushes;
    throw CosEventComm::Disconnected();
  }
  void disconnect_push_consumer() override {}
  void connect_push_supplier(CosEventComm::PushSupplier_ptr) override {}
  int pushes = 0;
};

class RefusingAdmin : public POA_CosEventChannelAdmin::SupplierAdmin {
 public:
  explicit RefusingAdmin(RefusingConsumer* consumer) : consumer_(consumer) {}
  CosEventChannelAdmin::ProxyPushConsumer_ptr obtain_push_consumer() override {
    return consumer_->_this();
  }
  CosEventChannelAdmin::ProxyPullConsumer_ptr obtain_pull_consumer() override {
    throw CORBA::NO_IMPLEMENT();
  }

 private:
  RefusingConsumer* consumer_;
};

class RefusingChannel : public POA_CosEventChannelAdmin::EventChannel {
 public:
  explicit RefusingChannel(RefusingAdmin* admin) : admin_(admin) {}
  CosEventChannelAdmin::ConsumerAdmin_ptr for_consumers() override { throw CORBA::NO_IMPLEMENT(); }
  CosEventChannelAdmin::SupplierAdmin_ptr for_suppliers() override { return admin_->_this(); }
  void destroy() override {}

 private:
  RefusingAdmin* admin_;
};

}  // namespace qmr_test

#endif  // QMR_TESTS_HARNESS_REFUSINGCHANNEL_H

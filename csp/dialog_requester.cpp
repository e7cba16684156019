#include "csp/dialog_requester.h"

#include <mutex>

namespace kelo::csp {
namespace {

struct Requester {
  std::mutex lock;
  std::string who;
};

Requester& TheRequester() {
  static Requester r;
  return r;
}

}  // namespace

void SetDialogRequester(const std::string& who) {
  std::lock_guard<std::mutex> hold(TheRequester().lock);
  TheRequester().who = who;
}

std::string DialogRequester() {
  std::lock_guard<std::mutex> hold(TheRequester().lock);
  return TheRequester().who;
}

}  // namespace kelo::csp

// Points this process's per-user module list at a private, empty one for
// the object's life, so a test neither reads nor changes the person's list,
// nor one another test process is using. One sibling implementation per OS.
#ifndef KELO_TESTS_SCOPED_USER_MODULES_H
#define KELO_TESTS_SCOPED_USER_MODULES_H

#include <memory>

namespace kelo::test {

class ScopedUserModules {
 public:
  ScopedUserModules();
  ScopedUserModules(const ScopedUserModules&) = delete;
  ScopedUserModules& operator=(const ScopedUserModules&) = delete;
  ~ScopedUserModules();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kelo::test

#endif

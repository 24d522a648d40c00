// A borrowed test on node ids, as cheap to pass and call as a function pointer. It refers to a
// callable owned by the caller, which must outlive every call (it is meant to be passed down a
// call chain, never stored).
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

namespace kestrine {

class NodePredicate {
 public:
  template <typename F>
    requires(!std::is_same_v<std::remove_cvref_t<F>, NodePredicate> &&
             std::is_invocable_r_v<bool, const F&, uint32_t>)
  NodePredicate(const F& test)  // NOLINT(google-explicit-constructor): passed like a lambda
      : object_(std::addressof(test)), call_([](const void* object, uint32_t id) -> bool {
          return (*static_cast<const F*>(object))(id);
        }) {}

  bool operator()(uint32_t id) const { return call_(object_, id); }

 private:
  const void* object_;
  bool (*call_)(const void*, uint32_t);
};

}  // namespace kestrine

// Functors: callables passed between components, and `MakeFunctor` to bind a
// member operation to a counted reference of its object (the functor keeps the
// object alive).
#pragma once

#include <functional>

#include "kestrix/object.h"

namespace Kestrix {

/// Functor<R(Args...)> is a copyable callable; an empty one throws
/// std::bad_function_call when called.
template <class Sig>
using Functor = std::function<Sig>;

/// MakeFunctor binds obj->method; the functor holds a reference to obj.
template <class T, class R, class... Args>
Functor<R(Args...)> MakeFunctor(const Ref<T>& obj, R (T::*method)(Args...)) {
  return [obj, method](Args... args) -> R { return ((*obj).*method)(std::forward<Args>(args)...); };
}

/// MakeFunctor for a raw pointer whose object is kept alive elsewhere.
template <class T, class R, class... Args>
Functor<R(Args...)> MakeFunctor(T* obj, R (T::*method)(Args...)) {
  return [obj, method](Args... args) -> R { return (obj->*method)(std::forward<Args>(args)...); };
}

}  // namespace Kestrix

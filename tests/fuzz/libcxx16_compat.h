#pragma once
// Forced into every file of the fuzz tree (clang 16 with libc++ 16, see the
// fuzz preset): the two C++23 library parts this code base uses that libc++ 16
// lacks, in their plain forms only.
// NB: declared in namespace std, which is the library's to fill: confined
// to the fuzz tree, and each stands aside once the library has its own.
#include <version>

#if defined(_LIBCPP_VERSION) && __cplusplus > 202002L
#include <functional>
#include <memory>
#include <thread>
#include <type_traits>
#include <utility>

namespace std {

#if !defined(__cpp_lib_jthread)
/// A thread joined when it goes (no stop token: nothing here asks for one).
class jthread {
public:
    jthread() noexcept = default;
    template <class F, class... Args>
        requires(!is_same_v<remove_cvref_t<F>, jthread>)
    explicit jthread(F&& f, Args&&... args) : thread_(std::forward<F>(f), std::forward<Args>(args)...) {}
    jthread(jthread&&) noexcept = default;
    jthread& operator=(jthread&& other) noexcept {
        if (thread_.joinable()) thread_.join();
        thread_ = std::move(other.thread_);
        return *this;
    }
    ~jthread() {
        if (thread_.joinable()) thread_.join();
    }
    [[nodiscard]] bool joinable() const noexcept { return thread_.joinable(); }
    void join() { thread_.join(); }
    void detach() { thread_.detach(); }
    [[nodiscard]] thread::id get_id() const noexcept { return thread_.get_id(); }

private:
    thread thread_;
};
#endif

#if !defined(__cpp_lib_move_only_function)
/// The callable is kept behind a shared pointer, so that std::function (which
/// copies) holds one that only moves; plain signatures only.
template <class Signature>
class move_only_function;

template <class R, class... Args>
class move_only_function<R(Args...)> {
public:
    move_only_function() noexcept = default;
    move_only_function(nullptr_t) noexcept {}
    template <class F>
        requires(!is_same_v<remove_cvref_t<F>, move_only_function> && is_invocable_r_v<R, decay_t<F>&, Args...>)
    move_only_function(F&& f)
        : call_([held = make_shared<decay_t<F>>(std::forward<F>(f))](Args... args) -> R {
              return (*held)(std::forward<Args>(args)...);
          }) {}
    move_only_function(move_only_function&&) noexcept = default;
    move_only_function& operator=(move_only_function&&) noexcept = default;
    move_only_function& operator=(nullptr_t) noexcept {
        call_ = nullptr;
        return *this;
    }
    R operator()(Args... args) { return call_(std::forward<Args>(args)...); }
    explicit operator bool() const noexcept { return static_cast<bool>(call_); }

private:
    function<R(Args...)> call_;
};
#endif

}  // namespace std
#endif

// Result-or-error values used across the core: nothing throws across it.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace flowsieve {

// An error as a value: the message the caller shows, the error number of
// an operating-system failure (0 for others) and the file it is about, when
// the operation that failed knows it best.
struct Error {
    std::string message;
    int os_errno = 0;
    std::string path{};
};

template <class T, class E = Error>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : v_(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return v_.index() == 0; }
    explicit operator bool() const { return ok(); }

    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T& value() const& { return std::get<0>(v_); }
    T* operator->() { return &std::get<0>(v_); }
    T& operator*() & { return std::get<0>(v_); }

    const E& error() const& { return std::get<1>(v_); }
    E&& error() && { return std::get<1>(std::move(v_)); }

private:
    std::variant<T, E> v_;
};

// Success or an error, for operations with no value.
template <class E = Error>
class [[nodiscard]] Status {
public:
    Status() = default;
    Status(E error) : error_(std::move(error)), failed_(true) {}

    bool ok() const { return !failed_; }
    explicit operator bool() const { return ok(); }
    const E& error() const& { return error_; }
    E&& error() && { return std::move(error_); }

private:
    E error_{};
    bool failed_ = false;
};

}  // namespace flowsieve

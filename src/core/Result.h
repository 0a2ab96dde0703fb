// A value or a typed error, the return shape of every fallible operation.
//
// The project's one error shape: each subsystem's error is a class `XxxError` with
//  - `enum class Kind` naming the ways it fails;
//  - a static named constructor per kind (`XxxError::noDevice()`), taking only the detail its
//    sentence needs;
//  - `Kind kind() const`, and accessors only for details a caller really uses;
//  - `QString description() const`: the Polish sentence the user hears;
//  - `bool operator==(const XxxError&) const = default;` where tests compare errors.
// It travels as `Result<T, XxxError>` or `Status<XxxError>`. No bare enums with free functions,
// no kind+payload structs, no bare QString errors. A cancellation is not a failure: it is an
// outcome of its own, never an error.
//
// Thread: any (plain value type).
#pragma once

#include <utility>
#include <variant>

namespace selvina {

struct Ok {};

template <typename T, typename E>
class Result {
public:
    Result(T value) : m_data(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : m_data(std::in_place_index<1>, std::move(error)) {}

    bool ok() const { return m_data.index() == 0; }
    explicit operator bool() const { return ok(); }
    const T& value() const { return std::get<0>(m_data); }
    T& value() { return std::get<0>(m_data); }
    const E& error() const { return std::get<1>(m_data); }

private:
    std::variant<T, E> m_data;
};

// Result of an operation that yields nothing on success.
template <typename E>
using Status = Result<Ok, E>;

} // namespace selvina

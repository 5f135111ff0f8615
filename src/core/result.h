#pragma once
// An outcome that either holds a value or says in words why there is none. The one way the
// program's own routines report failure; the registry routines keep Windows' status codes.

#include <QString>
#include <optional>
#include <utility>

namespace rostrel {

// The failure side of a Result: a text fit for the log or a message box.
struct Failure
{
    QString text;
    // What kind of failure it is, where the caller tells kinds apart (0: not told). Unlike the
    // text, it holds no sizes or times.
    int code = 0;
};

template <typename T> class [[nodiscard]] Result
{
public:
    Result(T value)
        : m_value(std::move(value))
    { }
    Result(Failure failure)
        : m_error(std::move(failure.text))
        , m_code(failure.code)
    { }

    bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }
    const T& value() const& { return *m_value; }
    T& value() & { return *m_value; }
    T&& value() && { return std::move(*m_value); }
    const T* operator->() const { return &*m_value; }
    const T& operator*() const& { return *m_value; }
    // Empty when ok().
    const QString& error() const { return m_error; }
    int errorCode() const { return m_code; }

private:
    std::optional<T> m_value;
    QString m_error;
    int m_code = 0;
};

template <> class [[nodiscard]] Result<void>
{
public:
    Result() = default;
    Result(Failure failure)
        : m_failed(true)
        , m_error(std::move(failure.text))
        , m_code(failure.code)
    { }

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const QString& error() const { return m_error; }
    int errorCode() const { return m_code; }

private:
    bool m_failed = false;
    QString m_error;
    int m_code = 0;
};

} // namespace rostrel

#pragma once

#include <QByteArray>

#include <cstring>
#include <functional>
#include <typeinfo>

// An event handler that can be compared with another, as the controller's assignment rules need
// ("the same handler as before: nothing happens"). A handler is an object's member function, or
// any callable with a key that names it.
template <typename... Args> class HidHandler
{
public:
    HidHandler() = default;

    template <class T>
    HidHandler(T *object, void (T::*method)(Args...))
        : m_fn([object, method](Args... args) { (object->*method)(args...); }), m_object(object)
    {
        m_method.resize(sizeof(method));
        std::memcpy(m_method.data(), &method, sizeof(method));
        m_method.append(typeid(T).name());
    }

    HidHandler(const void *key, std::function<void(Args...)> fn)
        : m_fn(std::move(fn)), m_object(key)
    {
    }

    explicit operator bool() const { return bool(m_fn); }
    void operator()(Args... args) const
    {
        if (m_fn)
            m_fn(args...);
    }

    bool operator==(const HidHandler &other) const
    {
        if (!m_fn || !other.m_fn)
            return !m_fn && !other.m_fn;
        return m_object == other.m_object && m_method == other.m_method;
    }
    bool operator!=(const HidHandler &other) const { return !(*this == other); }

private:
    std::function<void(Args...)> m_fn;
    const void *m_object = nullptr;
    QByteArray m_method;
};

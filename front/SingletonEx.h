#pragma once

// Process-wide instance of T. Constructing a T by any route makes it the
// instance; the accessors create one (without a Qt parent) when none exists.
template<class T>
class SingletonEx
{
public:
    static T& instance() { return *createInstance(); }
    static T* instancePtr() { return createInstance(); }

    SingletonEx(const SingletonEx&) {}
    SingletonEx& operator=(const SingletonEx&) { return *this; }
    virtual ~SingletonEx() {}

protected:
    SingletonEx() { _instance = static_cast<T*>(this); }

    static T* _instance;

private:
    static T* createInstance()
    {
        if (!_instance)
            new T(nullptr); // the constructor registers itself
        return _instance;
    }
};

template<class T>
T* SingletonEx<T>::_instance = nullptr;

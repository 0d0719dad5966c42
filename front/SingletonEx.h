#pragma once

// Process-wide instance of T. Constructing a T by any route makes it the
// instance (T's constructor calls Register first thing: while the base is
// being built the object is not a T yet, so it cannot register itself here);
// the accessors create one (without a Qt parent) when none exists.
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
    SingletonEx() = default;
    static void Register(T* object) { _instance = object; }

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

#pragma once

#include <map>
#include <string>

// Lets components find each other by name without owning each other. The
// owner of the map owns every component registered in it.
class ComponentMap
{
public:
    // Registering a name again replaces the address kept under it.
    void Register(const std::string& name, void* component) { m_components[name] = component; }
    // Null when the name is unknown; never inserts.
    void* Find(const std::string& name) const;

    template<class T>
    T* Get(const std::string& name) const { return static_cast<T*>(Find(name)); }

private:
    std::map<std::string, void*> m_components;
};

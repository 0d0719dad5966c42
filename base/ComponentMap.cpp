#include "base/ComponentMap.h"

void* ComponentMap::Find(const std::string& name) const
{
    const auto it = m_components.find(name);
    return it == m_components.end() ? nullptr : it->second;
}

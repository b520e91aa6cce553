// CCmdTarget: the component base of the driver object and of the class factory. It keeps the one
// reference count of an object (1 after construction, changed only atomically), answers
// QueryInterface from the object's interface table followed by its own, and carries the dispatch
// part, which answers IDispatch with no members.
#pragma once

#include <atomic>
#include <span>

#include "platform/platform.h"

namespace driver {

class CCmdTarget;

// An interface part: the slot-table pointer that a caller's interface pointer points at. Every
// slot receives the part's address and finds its object through `owner`.
struct InterfacePart {
    const void* vtbl = nullptr;  // null: the part is not present
    CCmdTarget* owner = nullptr;
};

// One row of an interface table: which part answers which interface identifier.
struct InterfaceEntry {
    const IID* iid;
    InterfacePart* (*part)(CCmdTarget* target);
};

// Name and creation function of a class whose objects a factory creates.
struct RuntimeClass {
    const char* className;
    CCmdTarget* (*createObject)();  // null when the object cannot be allocated
};

class CCmdTarget {
public:
    CCmdTarget();
    virtual ~CCmdTarget();

    CCmdTarget(const CCmdTarget&) = delete;
    CCmdTarget& operator=(const CCmdTarget&) = delete;

    virtual const RuntimeClass* GetRuntimeClass() const { return nullptr; }

    // Runs when Release brings the count to 0: destroys the object.
    virtual void OnFinalRelease() { delete this; }

    // The class's own interface table, searched before the base's.
    virtual std::span<const InterfaceEntry> GetInterfaceTable() const { return {}; }

    // The IUnknown behaviour shared by every part of an object.
    HRESULT ExternalQueryInterface(const IID* iid, void** out);
    ULONG ExternalAddRef();
    ULONG ExternalRelease();

    LONG ReferenceCount() const { return m_dwRef.load(); }

    // Finds the owner of an interface part (`self` is what a slot receives).
    static CCmdTarget* FromPart(void* self) { return static_cast<InterfacePart*>(self)->owner; }

protected:
    // Binds a part to its slot table.
    void BindPart(InterfacePart& part, const void* vtbl) {
        part.vtbl = vtbl;
        part.owner = this;
    }

    // Makes the dispatch part present.
    void EnableAutomation();

private:
    InterfacePart* FindPart(const IID* iid);

    // No outer object and no inner part: objects are never aggregated.
    std::atomic<LONG> m_dwRef{1};
    InterfacePart m_xDispatch;  // present after EnableAutomation

    friend InterfacePart* DispatchPartOf(CCmdTarget* target);
};

InterfacePart* DispatchPartOf(CCmdTarget* target);

}  // namespace driver

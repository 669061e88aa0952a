// What the automation classes need from the server module: the one engine,
// the lock count and the cached type information of their interface.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <new>

#include "engine/printer_engine.h"
#include "server/brenvik_idl.h"

namespace brenvik {

// The one engine of the process, shared by every object of both classes.
PrinterEngine& Engine();

// The module lock count (objects alive plus LockServer locks).
void LockModule();
void UnlockModule();
LONG ModuleLockCount();

// The type information of IBrenvik or IMaria301 from the module's own type
// library, loaded on first use and kept; the pointer is borrowed.
HRESULT CachedTypeInfo(REFIID iid, ITypeInfo** info);

// Creators of the two classes, used by the class factories.
HRESULT CreateBrenvik(IUnknown* outer, REFIID iid, void** object);
HRESULT CreateMaria301(IUnknown* outer, REFIID iid, void** object);

// Runs `body` and turns any escaping C++ exception into `failure`: nothing
// thrown inside the engine may cross the COM boundary.
template <class Result, class Body>
Result Guarded(Result failure, Body body) noexcept {
    try {
        return body();
    } catch (...) {
        return failure;
    }
}

// IUnknown (aggregatable) and IDispatch through the cached type information,
// shared by both classes. Itf is the dual interface the class implements.
template <class Itf>
class DispatchObject : public Itf {
public:
    explicit DispatchObject(IUnknown* outer) : inner_(this), outer_(outer ? outer : &inner_) {
        LockModule();
    }
    virtual ~DispatchObject() { UnlockModule(); }
    DispatchObject(const DispatchObject&) = delete;
    DispatchObject& operator=(const DispatchObject&) = delete;

    // The non-delegating IUnknown: the object's identity when aggregated.
    IUnknown* Inner() { return &inner_; }

    // IUnknown goes to the controlling unknown.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        return outer_->QueryInterface(iid, object);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return outer_->AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return outer_->Release(); }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (info == nullptr) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        ITypeInfo* cached = nullptr;
        const HRESULT hr = CachedTypeInfo(__uuidof(Itf), &cached);
        if (FAILED(hr)) return hr;
        cached->AddRef();
        *info = cached;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID,
                                            DISPID* ids) override {
        if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        ITypeInfo* cached = nullptr;
        const HRESULT hr = CachedTypeInfo(__uuidof(Itf), &cached);
        if (FAILED(hr)) return hr;
        return cached->GetIDsOfNames(names, count, ids);
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params,
                                     VARIANT* result, EXCEPINFO* exception,
                                     UINT* argError) override {
        if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        ITypeInfo* cached = nullptr;
        const HRESULT hr = CachedTypeInfo(__uuidof(Itf), &cached);
        if (FAILED(hr)) return hr;
        return cached->Invoke(static_cast<Itf*>(this), id, flags, params, result, exception,
                              argError);
    }

private:
    class InnerUnknown : public IUnknown {
    public:
        explicit InnerUnknown(DispatchObject* owner) : owner_(owner) {}
        HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
            if (object == nullptr) return E_POINTER;
            if (IsEqualIID(iid, IID_IUnknown)) {
                *object = static_cast<IUnknown*>(this);
            } else if (IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, __uuidof(Itf))) {
                *object = static_cast<Itf*>(owner_);
            } else {
                *object = nullptr;
                return E_NOINTERFACE;
            }
            static_cast<IUnknown*>(*object)->AddRef();
            return S_OK;
        }
        ULONG STDMETHODCALLTYPE AddRef() override {
            return static_cast<ULONG>(InterlockedIncrement(&refs_));
        }
        ULONG STDMETHODCALLTYPE Release() override {
            const LONG left = InterlockedDecrement(&refs_);
            if (left == 0) delete owner_;
            return static_cast<ULONG>(left);
        }

    private:
        DispatchObject* owner_;
        LONG refs_ = 0;
    };

    InnerUnknown inner_;
    IUnknown* outer_;
};

// The creator behind a class factory: a new object, standing alone or
// aggregated, queried for `iid` and destroyed again when that fails.
template <class Object>
HRESULT CreateObject(IUnknown* outer, REFIID iid, void** result) {
    Object* object = new (std::nothrow) Object(outer);
    if (object == nullptr) return E_OUTOFMEMORY;
    IUnknown* inner = object->Inner();
    inner->AddRef();
    const HRESULT hr = inner->QueryInterface(iid, result);
    inner->Release();
    return hr;
}

}  // namespace brenvik

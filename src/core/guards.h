#pragma once
// Small RAII guards: one template shape for every kind of Windows resource, one alias per
// close function, so every handle is released on every path, including exceptions.

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <utility>

namespace qv {

// The "no resource" value of most kinds: null, zero.
template <typename T> constexpr T zeroValue() {
    return T{};
}

// Owns a value of type T that is "empty" when it equals Empty(); calls Close on it once.
template <typename T, auto Close, auto Empty = zeroValue<T>> class UniqueResource {
public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : value_(value) {}
    ~UniqueResource() { reset(); }

    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    T get() const { return value_; }
    explicit operator bool() const { return value_ != Empty(); }

    // For out-parameters: releases what is held and hands out the slot.
    T* put() {
        reset();
        return &value_;
    }

    T release() { return std::exchange(value_, Empty()); }
    void reset(T value = Empty()) {
        T old = std::exchange(value_, value);
        if (old != Empty()) {
            Close(old);
        }
    }

private:
    T value_ = Empty();
};

inline void closeKernelHandle(HANDLE handle) {
    ::CloseHandle(handle);
}
// A handle that is null when there is none (a process, an event, a native file open).
using UniqueHandle = UniqueResource<HANDLE, closeKernelHandle>;

inline void joinAndCloseThread(HANDLE thread) {
    ::WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
}
// A thread of the run's own, waited for before it is let go: whatever it touches outlives it.
using JoinedThread = UniqueResource<HANDLE, joinAndCloseThread>;

// Starts run(argument) on a thread of its own; empty when the system could not start one.
inline JoinedThread startThread(LPTHREAD_START_ROUTINE run, void* argument) noexcept {
    return JoinedThread(::CreateThread(nullptr /* security */, 0 /* default stack */, run,
                                       argument, 0 /* running */, nullptr /* id */));
}

inline HANDLE invalidHandleValue() {
    return INVALID_HANDLE_VALUE;
}
// A handle from CreateFileW, whose "none" is INVALID_HANDLE_VALUE: the result is adopted as it
// is, never compared first.
using UniqueCreatedFile = UniqueResource<HANDLE, closeKernelHandle, invalidHandleValue>;

// A process handle; INVALID_HANDLE_VALUE (the pseudo-handle of the current process) is never
// closed.
inline void closeProcessHandle(HANDLE handle) {
    if (handle != INVALID_HANDLE_VALUE) {
        ::CloseHandle(handle);
    }
}
using UniqueProcessHandle = UniqueResource<HANDLE, closeProcessHandle>;

// Memory the system handed out with LocalAlloc, such as a security descriptor built from SDDL.
inline void freeLocalMemory(void* memory) {
    ::LocalFree(memory);
}
using UniqueLocalMemory = UniqueResource<void*, freeLocalMemory>;

// A COM interface pointer holding one reference; typed queries instead of void** casts.
template <typename I> class ComPtr {
public:
    ComPtr() = default;
    explicit ComPtr(I* attached) : ptr_(attached) {}
    ~ComPtr() { reset(); }

    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;
    ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) {
            reset();
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }

    I* get() const { return ptr_; }
    I* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

    // For out-parameters: releases what is held and hands out the slot.
    I** put() {
        reset();
        return &ptr_;
    }
    void** putVoid() { return reinterpret_cast<void**>(put()); }

    void reset() {
        if (ptr_ != nullptr) {
            std::exchange(ptr_, nullptr)->Release();
        }
    }

    template <typename Other> HRESULT query(REFIID iid, ComPtr<Other>& out) const {
        return ptr_->QueryInterface(iid, out.putVoid());
    }

private:
    I* ptr_ = nullptr;
};

inline void freeBstr(BSTR text) {
    ::SysFreeString(text);
}
using UniqueBstr = UniqueResource<BSTR, freeBstr>;

// A VARIANT that is cleared (releasing its BSTR or object) when the guard ends.
class ScopedVariant {
public:
    ScopedVariant() { ::VariantInit(&value_); }
    explicit ScopedVariant(const VARIANT& adopted) : value_(adopted) {}
    ~ScopedVariant() { ::VariantClear(&value_); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;
    ScopedVariant(ScopedVariant&& other) noexcept : value_(other.value_) {
        ::VariantInit(&other.value_);
    }

    VARIANT& get() { return value_; }
    const VARIANT& get() const { return value_; }
    void clear() { ::VariantClear(&value_); }

    // For out-parameters: clears what is held and hands out the VARIANT.
    VARIANT* put() {
        clear();
        return &value_;
    }

    // Holds `object` with a reference of its own.
    void setDispatch(IDispatch* object) {
        clear();
        object->AddRef();
        value_.vt = VT_DISPATCH;
        value_.pdispVal = object;
    }

    // The object held, with the reference the VARIANT had; empty when it holds none. The VARIANT
    // is left empty.
    ComPtr<IDispatch> takeDispatch() {
        if (value_.vt != VT_DISPATCH || value_.pdispVal == nullptr) {
            return ComPtr<IDispatch>();
        }
        ComPtr<IDispatch> object(std::exchange(value_.pdispVal, nullptr));
        value_.vt = VT_EMPTY;
        return object;
    }

private:
    VARIANT value_;
};

// This thread's COM initialisation, undone when the guard ends only when it took: a thread that
// was initialised otherwise before (RPC_E_CHANGED_MODE) keeps its state.
class ComInitialization {
public:
    explicit ComInitialization(DWORD model) : result_(::CoInitializeEx(nullptr, model)) {}
    ~ComInitialization() {
        if (SUCCEEDED(result_)) {
            ::CoUninitialize();
        }
    }
    ComInitialization(const ComInitialization&) = delete;
    ComInitialization& operator=(const ComInitialization&) = delete;

    HRESULT result() const { return result_; }

private:
    HRESULT result_;
};

// One-off clean-up at scope end, cancelled by release().
template <typename F> class ScopeExit {
public:
    explicit ScopeExit(F action) : action_(std::move(action)) {}
    ~ScopeExit() {
        if (active_) {
            action_();
        }
    }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;
    void release() { active_ = false; }

private:
    F action_;
    bool active_ = true;
};

} // namespace qv

#pragma once
// Small RAII guards: one template shape for every kind of Windows resource, one alias per
// close function, so every handle is released on every path, including exceptions.

#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace qv {

// Owns a value of type T that is "empty" when it equals Invalid; calls Close on it once.
template <typename T, auto Close, T Invalid = T{}> class UniqueResource {
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
    explicit operator bool() const { return value_ != Invalid; }

    T release() { return std::exchange(value_, Invalid); }
    void reset(T value = Invalid) {
        T old = std::exchange(value_, value);
        if (old != Invalid) {
            Close(old);
        }
    }

private:
    T value_ = Invalid;
};

inline void closeKernelHandle(HANDLE handle) {
    ::CloseHandle(handle);
}

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

// A VARIANT that is cleared (releasing its BSTR or object) when the guard ends.
class ScopedVariant {
public:
    ScopedVariant() { ::VariantInit(&value_); }
    explicit ScopedVariant(const VARIANT& adopted) : value_(adopted) {}
    ~ScopedVariant() { ::VariantClear(&value_); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;

    VARIANT& get() { return value_; }
    const VARIANT& get() const { return value_; }
    void clear() { ::VariantClear(&value_); }

private:
    VARIANT value_;
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

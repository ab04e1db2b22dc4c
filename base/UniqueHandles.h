// One owner template for every handle the program holds, and the owners of the Windows handles. A handle's
// closer names the value that means "no handle" and how it is closed; a closer may carry the function that
// closes, as the Installer's handles are closed through the Installer's table.
#pragma once

#include <windows.h>

#include <objbase.h>
#include <rpc.h>

#include <utility>

namespace corvantile {

template <typename Closer>
class UniqueResource {
public:
    using Handle = typename Closer::Handle;

    explicit UniqueResource(Closer closer = {}) noexcept : closer_(closer) {}
    explicit UniqueResource(Handle handle, Closer closer = {}) noexcept : closer_(closer), handle_(handle) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : closer_(other.closer_), handle_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) {
            reset();
            closer_ = other.closer_;
            handle_ = other.release();
        }
        return *this;
    }
    ~UniqueResource() { reset(); }

    [[nodiscard]] Handle get() const noexcept { return handle_; }
    [[nodiscard]] bool valid() const noexcept { return handle_ != Closer::Empty(); }
    explicit operator bool() const noexcept { return valid(); }

    // For out-parameters: whatever was held is closed first.
    [[nodiscard]] Handle* put() noexcept {
        reset();
        return &handle_;
    }
    // For a handle that another party has taken over: it is no longer closed here.
    Handle release() noexcept { return std::exchange(handle_, Closer::Empty()); }
    void reset(Handle handle = Closer::Empty()) noexcept {
        if (const Handle old = std::exchange(handle_, handle); old != Closer::Empty()) closer_(old);
    }

private:
    Closer closer_;
    Handle handle_ = Closer::Empty();
};

struct FileCloser {
    using Handle = HANDLE;
    static Handle Empty() noexcept { return INVALID_HANDLE_VALUE; }
    void operator()(Handle handle) const noexcept { ::CloseHandle(handle); }
};

struct KernelHandleCloser {
    using Handle = HANDLE;
    static Handle Empty() noexcept { return nullptr; }
    void operator()(Handle handle) const noexcept { ::CloseHandle(handle); }
};

struct FindCloser {
    using Handle = HANDLE;
    static Handle Empty() noexcept { return INVALID_HANDLE_VALUE; }
    void operator()(Handle handle) const noexcept { ::FindClose(handle); }
};

template <typename Pointer>
struct LocalMemoryCloser {
    using Handle = Pointer;
    static Handle Empty() noexcept { return nullptr; }
    void operator()(Handle memory) const noexcept { ::LocalFree(memory); }
};

struct ModuleCloser {
    using Handle = HMODULE;
    static Handle Empty() noexcept { return nullptr; }
    void operator()(Handle module) const noexcept { ::FreeLibrary(module); }
};

struct RpcStringCloser {
    using Handle = RPC_WSTR;
    static Handle Empty() noexcept { return nullptr; }
    void operator()(Handle text) const noexcept { ::RpcStringFreeW(&text); }
};

// A COM interface pointer, released once.
template <typename Interface>
struct ComCloser {
    using Handle = Interface*;
    static Handle Empty() noexcept { return nullptr; }
    void operator()(Handle object) const noexcept { object->Release(); }
};

// CreateFileW's empty value is INVALID_HANDLE_VALUE, never NULL.
using UniqueFile = UniqueResource<FileCloser>;
using UniqueHandle = UniqueResource<KernelHandleCloser>;
using UniqueFindHandle = UniqueResource<FindCloser>;
using UniqueArgv = UniqueResource<LocalMemoryCloser<LPWSTR*>>;
using UniqueModule = UniqueResource<ModuleCloser>;
using UniqueRpcString = UniqueResource<RpcStringCloser>;
template <typename Interface>
using UniqueComPointer = UniqueResource<ComCloser<Interface>>;

// COM on this thread, from a successful CoInitializeEx (S_FALSE included) to its CoUninitialize.
class ComInitialization {
public:
    explicit ComInitialization(DWORD concurrency) noexcept
        : initialized_(SUCCEEDED(::CoInitializeEx(nullptr, concurrency))) {}
    ComInitialization(const ComInitialization&) = delete;
    ComInitialization& operator=(const ComInitialization&) = delete;
    ~ComInitialization() {
        if (initialized_) ::CoUninitialize();
    }

private:
    bool initialized_;
};

}  // namespace corvantile

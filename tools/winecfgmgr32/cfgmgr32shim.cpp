// A stand-in for cfgmgr32.dll under Wine 8, for the tests and benchmarks; never shipped.
//
// HIDAPI lists HID devices through six cfgmgr32 functions, looked up when it starts.
// Wine 8's cfgmgr32 lacks CM_Get_Device_Interface_PropertyW (so hid_init fails), answers
// CM_Get_Device_Interface_List_SizeW with CR_CALL_NOT_IMPLEMENTED and aborts the program
// in CM_Get_Device_Interface_ListW. Placed beside a program and chosen with
// WINEDLLOVERRIDES=cfgmgr32=n,b, this DLL lists device interfaces through SetupAPI, which
// Wine has; says the optional interface property is not there; and hands the device-node
// look-ups on to Wine's own cfgmgr32, loaded from system32.
#include <windows.h>

#include <setupapi.h>

#include <algorithm>
#include <cwchar>
#include <vector>

namespace {

using Result = DWORD;                   // CONFIGRET
constexpr Result Success = 0x00;        // CR_SUCCESS
constexpr Result InvalidPointer = 0x03; // CR_INVALID_POINTER
constexpr Result Failure = 0x13;        // CR_FAILURE
constexpr Result NoSuchValue = 0x25;    // CR_NO_SUCH_VALUE
constexpr Result BufferTooSmall = 0x1A; // CR_BUFFER_SMALL

// The interface paths of the present devices of one interface class, as one
// list of strings ended by an empty one.
std::vector<wchar_t> interfaceList(const GUID *interfaceClass)
{
    std::vector<wchar_t> list;
    HDEVINFO devices = SetupDiGetClassDevsW(interfaceClass, nullptr, nullptr,
                                            DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (devices != INVALID_HANDLE_VALUE) {
        SP_DEVICE_INTERFACE_DATA item{};
        item.cbSize = sizeof(item);
        for (DWORD i = 0; SetupDiEnumDeviceInterfaces(devices, nullptr, interfaceClass, i, &item);
             ++i) {
            DWORD size = 0;
            SetupDiGetDeviceInterfaceDetailW(devices, &item, nullptr, 0, &size, nullptr);
            if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
                continue;
            std::vector<char> buffer(size);
            auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(buffer.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (SetupDiGetDeviceInterfaceDetailW(devices, &item, detail, size, nullptr, nullptr))
                list.insert(list.end(), detail->DevicePath,
                            detail->DevicePath + std::wcslen(detail->DevicePath) + 1);
        }
        SetupDiDestroyDeviceInfoList(devices);
    }
    list.push_back(L'\0');
    return list;
}

// Wine's own cfgmgr32, by its full path: by name, this DLL would find itself.
FARPROC wineFunction(const char *name)
{
    static HMODULE wine = [] {
        wchar_t path[MAX_PATH];
        const UINT length = GetSystemDirectoryW(path, MAX_PATH);
        if (length == 0 || length + 15 >= MAX_PATH)
            return HMODULE(nullptr);
        std::wcscat(path, L"\\cfgmgr32.dll");
        return LoadLibraryW(path);
    }();
    return wine ? GetProcAddress(wine, name) : nullptr;
}

template <typename Function, typename... Arguments>
Result forward(const char *name, Arguments... arguments)
{
    // Through void (*)(), the type GCC lets any function pointer pass through.
    const auto function =
        reinterpret_cast<Function>(reinterpret_cast<void (*)()>(wineFunction(name)));
    return function ? function(arguments...) : Failure;
}

} // namespace

extern "C" {

__declspec(dllexport) Result WINAPI
    CM_Get_Device_Interface_List_SizeW(ULONG *length, GUID *interfaceClass, wchar_t *, ULONG)
{
    if (!length || !interfaceClass)
        return InvalidPointer;
    *length = ULONG(interfaceList(interfaceClass).size());
    return Success;
}

__declspec(dllexport) Result WINAPI
    CM_Get_Device_Interface_ListW(GUID *interfaceClass, wchar_t *, wchar_t *buffer, ULONG length,
                                  ULONG)
{
    if (!interfaceClass || !buffer)
        return InvalidPointer;
    const std::vector<wchar_t> list = interfaceList(interfaceClass);
    if (list.size() > length)
        return BufferTooSmall;
    std::copy(list.begin(), list.end(), buffer);
    return Success;
}

// HIDAPI asks this for the device's instance id, to tell the bus it is on; without an
// answer it goes on as for a device of unknown bus.
__declspec(dllexport) Result WINAPI
    CM_Get_Device_Interface_PropertyW(const wchar_t *, const void *, ULONG *, BYTE *, ULONG *,
                                      ULONG)
{
    return NoSuchValue;
}

__declspec(dllexport) Result WINAPI CM_Locate_DevNodeW(DWORD *node, wchar_t *id, ULONG flags)
{
    using Function = Result(WINAPI *)(DWORD *, wchar_t *, ULONG);
    return forward<Function>("CM_Locate_DevNodeW", node, id, flags);
}

__declspec(dllexport) Result WINAPI CM_Get_Parent(DWORD *parent, DWORD node, ULONG flags)
{
    using Function = Result(WINAPI *)(DWORD *, DWORD, ULONG);
    return forward<Function>("CM_Get_Parent", parent, node, flags);
}

__declspec(dllexport) Result WINAPI
    CM_Get_DevNode_PropertyW(DWORD node, const void *key, ULONG *type, BYTE *buffer, ULONG *size,
                             ULONG flags)
{
    using Function = Result(WINAPI *)(DWORD, const void *, ULONG *, BYTE *, ULONG *, ULONG);
    return forward<Function>("CM_Get_DevNode_PropertyW", node, key, type, buffer, size, flags);
}

} // extern "C"

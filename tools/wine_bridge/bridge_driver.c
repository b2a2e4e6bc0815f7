/* The misc driver as Windows programs see it under Wine, played by forwarding every
 * handle to a device that speaks the device contract (misc-driver-sim, say):
 *
 *   open (IRP_MJ_CREATE)     a TCP connection to the relay, which joins it to the
 *                            interface's Unix socket; the device's 4-byte open status
 *                            decides: 0 opens, any other code fails the open with the
 *                            status whose Win32 error is that code (Wine 8 opens the
 *                            handle all the same: its requests then fail so);
 *   DeviceIoControl          one request frame, then the reply: ok is success with
 *                            `returned` bytes; error 234 is STATUS_BUFFER_OVERFLOW
 *                            with the partial output (the caller sees ERROR_MORE_DATA);
 *                            any other error its status, no output; a reply that is
 *                            broken or missing fails as ERROR_GEN_FAILURE (31), and so
 *                            does every later request on that handle;
 *   cleanup / close          the connection ends, so the device sees the handle closed.
 *
 * A fixture for tests under Wine only (Winsock inside a kernel driver is Wine's
 * liberty, not Windows'). The interfaces come from the sync tool through the control
 * device, see bridge_protocol.h. Wine's winedevice calls the dispatch routines one at
 * a time, so they share the globals without locks.
 *
 * C, not C++: MinGW's driver-kit headers do not compile as C++. */
#include <ddk/wdm.h>

#include "bridge_protocol.h"
#include "bridge_socket.h"

#define BRIDGE_TAG 0x62787151 /* 'Qqxb' */
/* As long as the Linux client waits for one exchange. */
#define BRIDGE_EXCHANGE_TIMEOUT_MS 30000

#define ERROR_CODE_FILE_NOT_FOUND 2u
#define ERROR_CODE_NOT_ENOUGH_MEMORY 8u
#define ERROR_CODE_GEN_FAILURE 31u
#define ERROR_CODE_MORE_DATA 234u

typedef struct {
    BOOLEAN linked;
    UNICODE_STRING name; /* \Device\QuellixBridgeNNNN, what the link points at */
    WCHAR nameBuffer[40];
    UNICODE_STRING link;
    WCHAR linkBuffer[BRIDGE_MAX_LINK_CHARS + 1];
    ULONG pathLength; /* 0: the interface is gone, opening it fails */
    char path[BRIDGE_MAX_SOCKET_PATH];
} BridgeDevice;

/* One open handle: its connection, and whether the stream can still be trusted. */
typedef struct {
    bridge_socket socket;
    BOOLEAN broken;
} BridgeHandle;

static PDEVICE_OBJECT g_control;
static PDEVICE_OBJECT g_interfaces[BRIDGE_MAX_INTERFACES];
static USHORT g_port;
static UCHAR g_token[BRIDGE_TOKEN_SIZE];
static BOOLEAN g_netStarted;

static ULONG LoadLe32(const UCHAR* p) {
    return (ULONG)p[0] | (ULONG)p[1] << 8 | (ULONG)p[2] << 16 | (ULONG)p[3] << 24;
}

static void StoreLe32(UCHAR* p, ULONG v) {
    p[0] = (UCHAR)v;
    p[1] = (UCHAR)(v >> 8);
    p[2] = (UCHAR)(v >> 16);
    p[3] = (UCHAR)(v >> 24);
}

/* The status whose Win32 error (RtlNtStatusToDosError) is this code. The codes a
 * misc driver answers have their own statuses; any other code travels in a status
 * of the Win32 facility, which Windows and Wine both turn back into the code. */
static NTSTATUS StatusForWin32Error(ULONG code) {
    switch (code) {
        case 1:
            return STATUS_INVALID_DEVICE_REQUEST;
        case 2:
            return STATUS_OBJECT_NAME_NOT_FOUND;
        case 5:
            return STATUS_ACCESS_DENIED;
        case 6:
            return STATUS_INVALID_HANDLE;
        case 8:
            return STATUS_NO_MEMORY;
        case 31:
            return STATUS_UNSUCCESSFUL;
        case 32:
            return STATUS_SHARING_VIOLATION;
        case 50:
            return STATUS_NOT_SUPPORTED;
        case 87:
            return STATUS_INVALID_PARAMETER;
        case 122:
            return STATUS_BUFFER_TOO_SMALL;
        case 234:
            return STATUS_BUFFER_OVERFLOW;
        default:
            return (NTSTATUS)(0xC0070000u | (code & 0xFFFFu));
    }
}

static NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static void EndHandle(PFILE_OBJECT file) {
    BridgeHandle* handle = file != NULL ? (BridgeHandle*)file->FsContext : NULL;
    if (handle != NULL) {
        bridge_close(handle->socket);
        ExFreePoolWithTag(handle, BRIDGE_TAG);
        file->FsContext = NULL;
    }
}

/* ------------------------------------------------------------------------------
 * Interface devices */

/* Connects a new handle; 0, or the Win32 error with which the open fails. */
static ULONG OpenInterface(BridgeDevice* device, PFILE_OBJECT file) {
    if (device->pathLength == 0 || g_port == 0 || !g_netStarted) {
        return ERROR_CODE_FILE_NOT_FOUND;
    }
    BridgeHandle* handle =
        (BridgeHandle*)ExAllocatePoolWithTag(NonPagedPool, sizeof(BridgeHandle), BRIDGE_TAG);
    if (handle == NULL) {
        return ERROR_CODE_NOT_ENOUGH_MEMORY;
    }
    handle->broken = FALSE;
    handle->socket = bridge_connect(g_port, BRIDGE_EXCHANGE_TIMEOUT_MS);

    UCHAR hello[BRIDGE_TOKEN_SIZE + 4 + BRIDGE_MAX_SOCKET_PATH];
    RtlCopyMemory(hello, g_token, BRIDGE_TOKEN_SIZE);
    StoreLe32(hello + BRIDGE_TOKEN_SIZE, device->pathLength);
    RtlCopyMemory(hello + BRIDGE_TOKEN_SIZE + 4, device->path, device->pathLength);
    UCHAR status[4];
    ULONG result = ERROR_CODE_GEN_FAILURE;
    if (handle->socket != BRIDGE_NO_SOCKET &&
        bridge_send_all(handle->socket, hello, BRIDGE_TOKEN_SIZE + 4 + device->pathLength) &&
        bridge_receive_all(handle->socket, status, sizeof status)) {
        result = LoadLe32(status);
    }
    if (result != 0) {
        bridge_close(handle->socket);
        ExFreePoolWithTag(handle, BRIDGE_TAG);
        return result;
    }
    file->FsContext = handle;
    return 0;
}

/* Where this request's input and output are, by the code's transfer method. */
static void RequestBuffers(PIRP irp, PIO_STACK_LOCATION stack, const UCHAR** input,
                           UCHAR** output) {
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    switch (code & 3u) {
        case METHOD_BUFFERED:
            *input = (const UCHAR*)irp->AssociatedIrp.SystemBuffer;
            *output = (UCHAR*)irp->AssociatedIrp.SystemBuffer;
            break;
        case METHOD_IN_DIRECT:
        case METHOD_OUT_DIRECT:
            *input = (const UCHAR*)irp->AssociatedIrp.SystemBuffer;
            *output = irp->MdlAddress != NULL ? (UCHAR*)MmGetSystemAddressForMdlSafe(
                                                    irp->MdlAddress, NormalPagePriority)
                                              : NULL;
            break;
        default: /* METHOD_NEITHER */
            *input = (const UCHAR*)stack->Parameters.DeviceIoControl.Type3InputBuffer;
            *output = (UCHAR*)irp->UserBuffer;
            break;
    }
}

/* One exchange: the request frame out, the reply in. Sets *information to the
 * output bytes the caller gets. */
static NTSTATUS Exchange(BridgeHandle* handle, PIRP irp, PIO_STACK_LOCATION stack,
                         ULONG_PTR* information) {
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG inSize = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outSize = stack->Parameters.DeviceIoControl.OutputBufferLength;
    const UCHAR* input;
    UCHAR* output;
    RequestBuffers(irp, stack, &input, &output);
    if ((input == NULL && inSize != 0) || handle->broken) {
        return input == NULL && inSize != 0 ? STATUS_INVALID_PARAMETER : STATUS_UNSUCCESSFUL;
    }
    if (output == NULL) {
        outSize = 0;
    }

    UCHAR header[12];
    StoreLe32(header, code);
    StoreLe32(header + 4, inSize);
    StoreLe32(header + 8, outSize);
    UCHAR reply[12];
    ULONG returned = 0;
    BOOLEAN framed = FALSE;
    if (bridge_send_all(handle->socket, header, sizeof header) &&
        (inSize == 0 || bridge_send_all(handle->socket, input, inSize)) &&
        bridge_receive_all(handle->socket, reply, sizeof reply)) {
        returned = LoadLe32(reply + 8);
        /* The input is sent before any output lands: they may share one buffer. */
        framed = LoadLe32(reply) <= 1 && returned <= outSize &&
                 (returned == 0 || bridge_receive_all(handle->socket, output, returned));
    }
    if (!framed) {
        handle->broken = TRUE;
        return STATUS_UNSUCCESSFUL;
    }
    if (LoadLe32(reply) == 1) {
        *information = returned;
        return STATUS_SUCCESS;
    }
    if (LoadLe32(reply + 4) == ERROR_CODE_MORE_DATA) {
        *information = returned;
        return STATUS_BUFFER_OVERFLOW;
    }
    return StatusForWin32Error(LoadLe32(reply + 4));
}

/* ------------------------------------------------------------------------------
 * The control device: the set of interfaces */

static void UnlinkInterface(BridgeDevice* device) {
    if (device->linked) {
        IoDeleteSymbolicLink(&device->link);
        device->linked = FALSE;
    }
    device->pathLength = 0;
}

static NTSTATUS CreateInterfaceDevice(PDRIVER_OBJECT driver, ULONG index) {
    WCHAR nameBuffer[40];
    const ULONG prefix = sizeof(BRIDGE_CONTROL_DEVICE) / sizeof(WCHAR) - 1;
    RtlCopyMemory(nameBuffer, BRIDGE_CONTROL_DEVICE, prefix * sizeof(WCHAR));
    for (ULONG i = 0, v = index; i < 4; ++i, v /= 10) {
        nameBuffer[prefix + 3 - i] = (WCHAR)(L'0' + v % 10);
    }
    UNICODE_STRING name;
    name.Buffer = nameBuffer;
    name.Length = (USHORT)((prefix + 4) * sizeof(WCHAR));
    name.MaximumLength = name.Length;
    PDEVICE_OBJECT created = NULL;
    const NTSTATUS status = IoCreateDevice(driver, sizeof(BridgeDevice), &name, FILE_DEVICE_UNKNOWN,
                                           0, FALSE, &created);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    BridgeDevice* device = (BridgeDevice*)created->DeviceExtension;
    RtlZeroMemory(device, sizeof *device);
    RtlCopyMemory(device->nameBuffer, nameBuffer, name.Length);
    device->name.Buffer = device->nameBuffer;
    device->name.Length = name.Length;
    device->name.MaximumLength = name.Length;
    created->Flags &= ~DO_DEVICE_INITIALIZING;
    g_interfaces[index] = created;
    return STATUS_SUCCESS;
}

/* The set's entries start after the port, the token and the count. */
#define SET_ENTRIES_AT (4 + BRIDGE_TOKEN_SIZE + 4)

/* Whether the whole set (the size bytes at in) is well formed: the port, the
 * count, and every entry within its limits and within the set. */
static BOOLEAN WellFormedSet(const UCHAR* in, ULONG size) {
    if (in == NULL || size < SET_ENTRIES_AT) {
        return FALSE;
    }
    const ULONG port = LoadLe32(in);
    const ULONG count = LoadLe32(in + 4 + BRIDGE_TOKEN_SIZE);
    if (port == 0 || port > 0xFFFF || count > BRIDGE_MAX_INTERFACES) {
        return FALSE;
    }
    ULONG at = SET_ENTRIES_AT;
    for (ULONG i = 0; i < count; ++i) {
        if (size - at < 12) {
            return FALSE;
        }
        const ULONG index = LoadLe32(in + at);
        const ULONG linkChars = LoadLe32(in + at + 4);
        const ULONG pathLength = LoadLe32(in + at + 8);
        at += 12;
        if (index >= BRIDGE_MAX_INTERFACES || linkChars == 0 || linkChars > BRIDGE_MAX_LINK_CHARS ||
            pathLength == 0 || pathLength > BRIDGE_MAX_SOCKET_PATH ||
            size - at < linkChars * 2 + pathLength) {
            return FALSE;
        }
        at += linkChars * 2 + pathLength;
    }
    return at == size;
}

/* Links interface index (created when it does not exist yet) to its name and
 * gives it the socket path; an index named twice keeps its last entry. */
static NTSTATUS LinkInterface(PDRIVER_OBJECT driver, ULONG index, const UCHAR* link,
                              ULONG linkChars, const UCHAR* path, ULONG pathLength) {
    if (g_interfaces[index] == NULL) {
        const NTSTATUS created = CreateInterfaceDevice(driver, index);
        if (!NT_SUCCESS(created)) {
            return created;
        }
    }
    BridgeDevice* device = (BridgeDevice*)g_interfaces[index]->DeviceExtension;
    UnlinkInterface(device);
    RtlCopyMemory(device->linkBuffer, link, linkChars * 2);
    device->link.Buffer = device->linkBuffer;
    device->link.Length = (USHORT)(linkChars * 2);
    device->link.MaximumLength = (USHORT)(linkChars * 2);
    const NTSTATUS linked = IoCreateSymbolicLink(&device->link, &device->name);
    if (!NT_SUCCESS(linked)) {
        return linked;
    }
    device->linked = TRUE;
    RtlCopyMemory(device->path, path, pathLength);
    device->pathLength = pathLength;
    return STATUS_SUCCESS;
}

/* Takes the set described in bridge_protocol.h; on a malformed one nothing changes.
 * Every entry is tried; the result is the failure of the last one that failed. */
static NTSTATUS Configure(PDRIVER_OBJECT driver, const UCHAR* in, ULONG size) {
    if (!WellFormedSet(in, size)) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG i = 0; i < BRIDGE_MAX_INTERFACES; ++i) {
        if (g_interfaces[i] != NULL) {
            UnlinkInterface((BridgeDevice*)g_interfaces[i]->DeviceExtension);
        }
    }
    g_port = (USHORT)LoadLe32(in);
    RtlCopyMemory(g_token, in + 4, BRIDGE_TOKEN_SIZE);
    const ULONG count = LoadLe32(in + 4 + BRIDGE_TOKEN_SIZE);
    ULONG at = SET_ENTRIES_AT;
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG i = 0; i < count; ++i) {
        const ULONG linkChars = LoadLe32(in + at + 4);
        const ULONG pathLength = LoadLe32(in + at + 8);
        const UCHAR* link = in + at + 12;
        const NTSTATUS linked = LinkInterface(driver, LoadLe32(in + at), link, linkChars,
                                              link + linkChars * 2, pathLength);
        if (!NT_SUCCESS(linked)) {
            result = linked;
        }
        at += 12 + linkChars * 2 + pathLength;
    }
    return result;
}

/* ------------------------------------------------------------------------------
 * Dispatch */

static NTSTATUS NTAPI DispatchCreate(PDEVICE_OBJECT object, PIRP irp) {
    BridgeDevice* device = (BridgeDevice*)object->DeviceExtension;
    if (object == g_control) {
        return Complete(irp, STATUS_SUCCESS, 0);
    }
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    const ULONG refused = OpenInterface(device, file);
    /* Wine 8 drops the status of IRP_MJ_CREATE and opens the handle anyway; so the
     * handle keeps the refusal, and every request on it fails with it. */
    file->FsContext2 = (PVOID)(ULONG_PTR)refused;
    return Complete(irp, refused == 0 ? STATUS_SUCCESS : StatusForWin32Error(refused), 0);
}

static NTSTATUS NTAPI DispatchClose(PDEVICE_OBJECT object, PIRP irp) {
    if (object != g_control) {
        EndHandle(IoGetCurrentIrpStackLocation(irp)->FileObject);
    }
    return Complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT object, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (object == g_control) {
        if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_BRIDGE_CONFIGURE) {
            return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
        }
        return Complete(
            irp,
            Configure(object->DriverObject, (const UCHAR*)irp->AssociatedIrp.SystemBuffer,
                      stack->Parameters.DeviceIoControl.InputBufferLength),
            0);
    }
    BridgeHandle* handle = (BridgeHandle*)stack->FileObject->FsContext;
    if (handle == NULL) {
        const ULONG refused = (ULONG)(ULONG_PTR)stack->FileObject->FsContext2;
        return Complete(irp, refused != 0 ? StatusForWin32Error(refused) : STATUS_INVALID_HANDLE,
                        0);
    }
    ULONG_PTR information = 0;
    const NTSTATUS status = Exchange(handle, irp, stack, &information);
    return Complete(irp, status, information);
}

static void NTAPI Unload(PDRIVER_OBJECT driver) {
    (void)driver;
    for (ULONG i = 0; i < BRIDGE_MAX_INTERFACES; ++i) {
        if (g_interfaces[i] != NULL) {
            UnlinkInterface((BridgeDevice*)g_interfaces[i]->DeviceExtension);
            IoDeleteDevice(g_interfaces[i]);
            g_interfaces[i] = NULL;
        }
    }
    if (g_control != NULL) {
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, BRIDGE_CONTROL_LINK);
        IoDeleteSymbolicLink(&link);
        IoDeleteDevice(g_control);
        g_control = NULL;
    }
    if (g_netStarted) {
        bridge_net_stop();
        g_netStarted = FALSE;
    }
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath) {
    (void)registryPath;
    UNICODE_STRING name;
    UNICODE_STRING link;
    RtlInitUnicodeString(&name, BRIDGE_CONTROL_DEVICE);
    RtlInitUnicodeString(&link, BRIDGE_CONTROL_LINK);
    NTSTATUS status = IoCreateDevice(driver, sizeof(BridgeDevice), &name, FILE_DEVICE_UNKNOWN, 0,
                                     FALSE, &g_control);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    RtlZeroMemory(g_control->DeviceExtension, sizeof(BridgeDevice));
    status = IoCreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_control);
        g_control = NULL;
        return status;
    }
    g_control->Flags &= ~DO_DEVICE_INITIALIZING;
    g_netStarted = bridge_net_start() != 0;
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchClose;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->DriverUnload = Unload;
    return STATUS_SUCCESS;
}

// The daemon's one vocabulary of failure and the names it is printed by.
#pragma once

#include <cstdint>
#include <string_view>

namespace vg {

// X-macro so the enum and its name table cannot drift apart. One entry per
// line, kept out of the formatter, which would pack them into a staircase.
// clang-format off
#define VG_ERROR_CODES(X) \
    X(AccessDenied) \
    X(AddressFamilyNotSupported) \
    X(AddressInUse) \
    X(AddressNotAvailable) \
    X(BadPathName) \
    X(Canceled) \
    X(ConnectionResetByPeer) \
    X(ConnectionTimedOut) \
    X(DeviceBusy) \
    X(EventNotFound) \
    X(FileBusy) \
    X(FileDescriptorNotASocket) \
    X(FileLocksNotSupported) \
    X(FileNotFound) \
    X(FileTooBig) \
    X(InputOutput) \
    X(IsDir) \
    X(NameTooLong) \
    X(NoDevice) \
    X(NoSpaceLeft) \
    X(NotDir) \
    X(NotOpenForReading) \
    X(OperationNotSupported) \
    X(PathAlreadyExists) \
    X(PermissionDenied) \
    X(ProcessFdQuotaExceeded) \
    X(ProcessNotFound) \
    X(ProtocolFamilyNotAvailable) \
    X(ProtocolNotSupported) \
    X(ReadOnlyFileSystem) \
    X(SocketNotConnected) \
    X(SocketTypeNotSupported) \
    X(SymLinkLoop) \
    X(SystemFdQuotaExceeded) \
    X(SystemResources) \
    X(Unexpected) \
    X(WouldBlock) \
    X(BrokenPipe) \
    X(DiskQuota) \
    X(InvalidArgument) \
    X(MessageTooBig) \
    X(NotOpenForWriting) \
    X(InvalidValue) \
    X(MissingSocket) \
    X(MissingCacheDir) \
    X(OutOfMemory) \
    X(PathTooLong)
// clang-format on

enum class ErrorCode : std::uint8_t {
    None = 0,  // no error; never printed
#define VG_ENUM_MEMBER(name) name,
    VG_ERROR_CODES(VG_ENUM_MEMBER)
#undef VG_ENUM_MEMBER
};

// The member's bare name, e.g. "AccessDenied". Not for ErrorCode::None.
std::string_view errorName(ErrorCode code) noexcept;

}  // namespace vg

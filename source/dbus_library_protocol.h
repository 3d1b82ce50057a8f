#pragma once

// The names and signatures the library service and its client share. The interfaces are written
// down for other programs in org.example.Zelvar.Library1.xml and org.example.Automation1.xml
// beside this file; the two must agree.

#include <chrono>
#include <cstddef>

namespace zv::source::dbus_protocol {

inline constexpr char kDefaultBusName[] = "org.example.zelvar";

inline constexpr char kLibraryObjectPath[] = "/org/example/Zelvar/Library";
inline constexpr char kLibraryInterface[] = "org.example.Zelvar.Library1";
inline constexpr char kAutomationObjectPath[] = "/org/example/Automation1";
inline constexpr char kAutomationInterface[] = "org.example.Automation1";

/// What a library method answers when the library failed the call; the message is the reason.
inline constexpr char kFailedErrorName[] = "org.example.Zelvar.Library1.Error.Failed";
inline constexpr char kInvalidArgsErrorName[] = "org.freedesktop.DBus.Error.InvalidArgs";
inline constexpr char kAccessDeniedErrorName[] = "org.freedesktop.DBus.Error.AccessDenied";

// A value that may be missing travels as (b present, value).
inline constexpr char kOptionalStringSignature[] = "(bs)";
/// id, name, encrypted, creationDate, modificationDate, flagged, comments, label, tags, location.
inline constexpr char kItemSignature[] = "(ss(bb)(bd)(bd)b(bs)(bs)a(bs)(bs))";
inline constexpr char kItemContentsSignature[] = "ss(bb)(bd)(bd)b(bs)(bs)a(bs)(bs)";
/// One answer of OpenItemPayloads: failed, the reason, the file (none or one), its file name and
/// display name.
inline constexpr char kPayloadAnswerSignature[] = "(bsahss)";
inline constexpr char kPayloadAnswerContentsSignature[] = "bsahss";
/// Descriptors one message may carry on the strictest common bus configuration.
inline constexpr std::size_t kMaximumPayloadsPerCall = 16;
/// id, name, colour (red, green, blue, alpha in device RGB).
inline constexpr char kLabelSignature[] = "(s(bs)(b(dddd)))";
/// id, name, the identifiers of its items.
inline constexpr char kFolderCollectionSignature[] = "(s(bs)as)";
/// id, name, tags, behaviour.
inline constexpr char kTagCollectionSignature[] = "(s(bs)a(bs)u)";

// A library of a million items takes a while to list; writing a big file takes longer.
inline constexpr auto kListTimeout = std::chrono::minutes(2);
inline constexpr auto kExportTimeout = std::chrono::minutes(10);

}  // namespace zv::source::dbus_protocol

#pragma once

#include <QByteArray>
#include <QLatin1String>

// Topic names and text payloads exchanged with a box's broker.
namespace Topics {
inline const QLatin1String PowerOff("TalixTools_in/poweroff");
inline const QLatin1String Restart("TalixTools_in/restart");
inline const QLatin1String UpdateCameraRequest("TalixTools_in/update_camera_fw");
inline const QLatin1String UpdateSystemRequest("TalixTools_in/update_file_system");
inline const QLatin1String RecoveryRequest("TalixTools_in/recovery_file_system");
inline const QLatin1String UpdateCameraReport("TalixTools_out/update_camera_fw");
inline const QLatin1String UpdateSystemReport("TalixTools_out/update_file_system");
inline const QLatin1String RecoveryReport("TalixTools_out/recovery_file_system");
} // namespace Topics

namespace Payloads {
inline const QByteArray ShutDown("Shut Down");                          // 9 bytes
inline const QByteArray Restart("Restart");                             // 7 bytes
inline const QByteArray RecoveryDefaultSystem("RecoveryDefaultSystem"); // 21 bytes
} // namespace Payloads

#pragma once

#include <QString>

// What the main window shows the operator, written once for every test.
namespace Texts {
inline const QString Tip = QStringLiteral("Tip");
inline const QString Searching = QStringLiteral("Searching Device...");
inline const QString SearchCompleted = QStringLiteral("Search Completed");
inline const QString SocketAbnormal = QStringLiteral("Received data socket status is abnormal");
inline const QString SelectRow = QStringLiteral("Please select a row");
inline const QString WaitForSearch =
        QStringLiteral("Please wait for the device search to complete");
inline const QString Quit = QStringLiteral("Do you want to quit?");
} // namespace Texts

// SPDX-License-Identifier: MIT
#include "failure_report.h"

#include "velmora/failure.h"

#include <QMessageBox>

#include <new>

namespace {

QString Message(velmora::FailureNumber number, const QString& description) {
    return QStringLiteral("Error %1: %2").arg(static_cast<int>(number)).arg(description);
}

} // namespace

QString DescribeFailure(const std::exception_ptr& failure) {
    using velmora::FailureNumber;
    try {
        std::rethrow_exception(failure);
    } catch (const velmora::Failure& known) {
        return Message(known.number(), QString::fromStdString(known.description()));
    } catch (const std::bad_alloc&) {
        return Message(FailureNumber::Internal, QStringLiteral("Out of memory"));
    } catch (const std::exception& unexpected) {
        return Message(FailureNumber::Internal,
                       QStringLiteral("Unexpected failure: %1")
                           .arg(QString::fromLocal8Bit(unexpected.what())));
    } catch (...) {
        return Message(FailureNumber::Internal, QStringLiteral("Unexpected failure"));
    }
}

void ReportFailure(QWidget* parent, const std::exception_ptr& failure) {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Velmora"), DescribeFailure(failure),
                    QMessageBox::Ok, parent);
    // Paths are shown as typed: "<br>" in a file name is not markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <exception>

class QWidget;

// "Error N: description" for any failure that leaves a click handler: the
// converter's own failures with their numbers, and anything unexpected
// (out of memory, say) as an internal failure.
[[nodiscard]] QString DescribeFailure(const std::exception_ptr& failure);

// Shows the failure in a modal message box titled "Velmora" with a single OK
// button, and returns once the user has dismissed it.
void ReportFailure(QWidget* parent, const std::exception_ptr& failure);

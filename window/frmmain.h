// SPDX-License-Identifier: MIT
#pragma once

#include <QWidget>

#include <memory>

namespace Ui {
class Frmmain;
}

// The window "Main": an input path, an output path and "FILE CONVERT".
// The texts of its boxes are the program's only state; converting reads
// them and never changes them.
class Frmmain : public QWidget {
    Q_OBJECT

  public:
    explicit Frmmain(QWidget* parent = nullptr);
    ~Frmmain() override;

  private:
    // The click handler of "FILE CONVERT": converts, and reports any failure
    // in a message box, after which the window is ready for another try.
    void Convert();

    std::unique_ptr<Ui::Frmmain> ui;
};

// SPDX-License-Identifier: MIT
#pragma once

class QLineEdit;

// Lets one local file dropped on the box (a file manager's "file:" URL, or
// Explorer's file list, which reaches Qt as URLs) replace the box's text
// with the file's native path, as if typed. A drop of several files, or of
// anything but a local file, is refused, even when it offers text as well:
// that text is the URL, no path. A drop of text alone is inserted as usual.
void TakeDroppedFiles(QLineEdit* box);

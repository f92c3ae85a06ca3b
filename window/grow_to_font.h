// SPDX-License-Identifier: MIT
#pragma once

class QWidget;

// Grows a window of fixed size and its controls in proportion, as Windows'
// dialog units do, just enough that each shown control holds its whole text
// at its font: a desktop font larger than the one the window was laid out
// for would cut labels, button texts and paths. Never shrinks them: at the
// font it was made for, or a smaller one, the window stays as laid out.
void GrowToFont(QWidget* window);

// fastlic-gui: the desktop window.
#include "ui/entry.h"
#include "ui/main_form.h"

int main() { return runApplication(Form1); }

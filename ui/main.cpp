// fastlic-gui: the desktop window.
#include "output/output_file.h"
#include "ui/entry.h"
#include "ui/main_form.h"

int main() {
    // Before the toolkit opens its display connection: a closed standard
    // output must not lend it its number, or the image would go there.
    fastlic::ensureStandardDescriptors();
    return runApplication(Form1);
}

// fastlic-gui: the desktop window.
#include "io/output_file.h"
#include "drivers/window/entry.h"
#include "drivers/window/main_form.h"

int main() {
    // Before the toolkit opens its display connection: a closed standard
    // output must not lend it its number, or the image would go there.
    fastlic::ensureStandardDescriptors();
    return runApplication(Form1);
}

// The process entry: the framework started, the main form created, the
// message loop run. An exception that escapes is shown; the status is 0.
#pragma once

#include "drivers/window/framework.h"

template <class Form>
int runApplication(Form*& mainForm) {
    try {
        Application->Initialize();
        Application->CreateForm(mainForm);
        Application->Run();
    } catch (const Exception& e) {
        Application->ShowException(&e);
    } catch (...) {
        try {
            throw Exception(QString(""));
        } catch (const Exception& e) {
            Application->ShowException(&e);
        }
    }
    return 0;
}

// The main window: two image panes and the button that runs the pipeline
// and then the display step.
#pragma once

// Before Form1 is declared: the generated layout names its parameter so.
#include "ui_main_form.h"

#include "base/vecmath.h"
#include "drivers/window/framework.h"

class TForm1 : public TForm, public Ui::TFORM1 {
    Q_OBJECT
public:
    explicit TForm1(QWidget* owner);

    // Image1 shows the latest run's image, 24 bits per pixel.
    void showRunImage();
    // Image2 gets a copy of Image1's bitmap whose top-left gridRows x
    // gridCols pixels are fillColor.
    void displayStep();

    fastlic::Point fillColor;

public slots:
    void BitBtn1Click(TObject* Sender);
};

extern TForm1* Form1;

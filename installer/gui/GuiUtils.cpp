#include "GuiUtils.h"

#include "InstallerState.h"
#include "base/Logging.h"

#include <FL/Fl.H>
#include <FL/Fl_Browser_.H>
#include <FL/Fl_Button.H>
#include <FL/Fl_Check_Button.H>
#include <FL/Fl_File_Browser.H>
#include <FL/Fl_File_Chooser.H>
#include <FL/Fl_File_Input.H>
#include <FL/Fl_Group.H>
#include <FL/Fl_Input_.H>
#include <FL/Fl_Menu_.H>
#include <FL/Fl_Output.H>
#include <FL/Fl_Progress.H>
#include <FL/Fl_Text_Display.H>
#include <FL/Fl_Tree.H>
#include <FL/Fl_Window.H>
#include <FL/fl_ask.H>
#include <stdlib.h>
#ifndef _WIN32
#include <FL/x.H>
#endif

using namespace ZipSync;

bool g_headless = false;

bool OpenDisplay() {
#ifdef _WIN32
    return true;
#else
    // The toolkit's own opening ends the process when it fails; open the connection here and
    // hand it over instead.
    Display* display = XOpenDisplay(nullptr);
    if (!display) return false;
    fl_open_display(display);
    return true;
#endif
}

int GuiMessageBox(int flags, const char* message, const char* firstLabel, const char* secondLabel) {
    int kind = flags & 0xF;
    int icon = flags & 0xF0;
    if (kind == GuiMbOk && icon == GuiMbIconError) {
        g_logger->warningf("Showing error message: %s", message);
        if (g_unattended || g_headless) exit(3);
        fl_alert("ERROR: %s", message);
        return 0;
    }
    if (kind == GuiMbOk && icon == GuiMbIconInfo) {
        if (g_headless) {
            g_logger->infof("Showing information message: %s", message);
            return 0;
        }
        fl_message("%s", message);
        return 0;
    }
    if (kind == GuiMbQuestion && icon == GuiMbIconWarning) {
        g_logger->warningf("Showing warning message: %s", message);
        bool firstLabelFirst = (flags & GuiMbFirstLabelFirst) != 0;
        if ((g_unattended && firstLabelFirst) || g_headless) exit(2);
        // fl_choice answers with the index of the chosen button.
        if (firstLabelFirst) return fl_choice("%s", firstLabel, secondLabel, nullptr, message) == 1 ? 1 : 0;
        return fl_choice("%s", secondLabel, firstLabel, nullptr, message) == 0 ? 1 : 0;
    }
    ZipSyncAssert(false);
    return 0;
}

bool RunShowingErrors(const std::function<void()>& body, const std::function<void()>& beforeShowing) {
    std::string message;
    try {
        body();
        return true;
    } catch (const std::exception& e) {
        message = e.what();
    } catch (...) {
        message = "Unexpected failure of unknown kind";
    }
    if (beforeShowing) {
        try {
            beforeShowing();
        } catch (const std::exception& e) {
            g_logger->warningf("Clean-up after the failure failed too: %s", e.what());
        } catch (...) {
            g_logger->warningf("Clean-up after the failure failed too");
        }
    }
    GuiMessageBox(GuiMbOk | GuiMbIconError | GuiMbFirstLabelFirst, message.c_str());
    return false;
}

namespace {

Fl_File_Chooser* g_chooser = nullptr;

template <class W> W* FindFirst(Fl_Widget* root) {
    if (W* found = dynamic_cast<W*>(root)) return found;
    if (Fl_Group* group = root->as_group()) {
        for (int i = 0; i < group->children(); i++)
            if (W* found = FindFirst<W>(group->child(i))) return found;
    }
    return nullptr;
}

// Hides the preview and the hidden-files switch and gives the file list the preview's room.
void SimplifyChooser(Fl_File_Chooser* chooser) {
    chooser->preview(0);
    chooser->previewButton->hide();
    chooser->showHiddenButton->hide();
    Fl_Window* window = chooser->newButton->window();
    if (Fl_File_Browser* list = FindFirst<Fl_File_Browser>(window)) {
        Fl_Group* tile = list->parent();
        list->resize(tile->x(), tile->y(), tile->w(), tile->h());
        for (int i = 0; i < tile->children(); i++)
            if (tile->child(i) != list) tile->child(i)->hide();
    }
    ApplyStyle(window);
}

} // namespace

std::optional<std::string> ChooseDirectory(const char* title) {
    delete g_chooser;
    g_chooser = new Fl_File_Chooser(".", "*", Fl_File_Chooser::DIRECTORY | Fl_File_Chooser::CREATE, title);
    SimplifyChooser(g_chooser);

    // A grabbing window would swallow the chooser's events.
    Fl_Window* grabbing = Fl::grab();
    Fl::grab(nullptr);
    g_chooser->show();
    while (g_chooser->shown()) Fl::wait();
    Fl::grab(grabbing);

    const char* chosen = g_chooser->value();
    if (!chosen) return std::nullopt;
    return std::string(chosen);
}

namespace {

// The one size of every label and text. The layout's geometry leaves room for a narrow system
// font; at this size a wide one (DejaVu Sans, a plain X server's font) still keeps each label
// inside its page and the texts of the wizard's displays inside them without scrollbars.
const Fl_Fontsize kFontSize = 12;

void SetFontSize(Fl_Widget* widget) {
    widget->labelsize(kFontSize);
    if (Fl_Input_* input = dynamic_cast<Fl_Input_*>(widget)) {
        input->textsize(kFontSize);
    } else if (Fl_Menu_* menu = dynamic_cast<Fl_Menu_*>(widget)) {
        menu->textsize(kFontSize);
    } else if (Fl_Browser_* browser = dynamic_cast<Fl_Browser_*>(widget)) {
        browser->textsize(kFontSize);
    } else if (Fl_Tree* tree = dynamic_cast<Fl_Tree*>(widget)) {
        tree->item_labelsize(kFontSize);
    } else if (Fl_Text_Display* text = dynamic_cast<Fl_Text_Display*>(widget)) {
        text->textsize(kFontSize);
        // A plain border like the outputs'. It is also thinner than the sunken frame, which
        // leaves the one-line display room enough for its line to show without scrollbars.
        if (text->box() == FL_DOWN_FRAME) text->box(FL_BORDER_BOX);
        // The display decides its line height and scrollbars only when laid out.
        text->resize(text->x(), text->y(), text->w(), text->h());
    }
}

// Depth-first, by the widget's most specific kind; every widget takes the one font size.
void StyleTree(Fl_Widget* root) {
    SetFontSize(root);
    if (Fl_Group* group = root->as_group()) {
        for (int i = 0; i < group->children(); i++) StyleTree(group->child(i));
    } else if (Fl_Progress* progress = dynamic_cast<Fl_Progress*>(root)) {
        progress->selection_color(fl_rgb_color(0, 255, 0));
    } else if (dynamic_cast<Fl_Check_Button*>(root)) {
        // keeps the toolkit's look
    } else if (Fl_Button* button = dynamic_cast<Fl_Button*>(root)) {
        button->color(fl_rgb_color(225, 225, 225));
        button->selection_color(fl_rgb_color(204, 228, 247));
        button->box(FL_BORDER_BOX);
        button->down_box(FL_BORDER_BOX);
    } else if (Fl_Output* output = dynamic_cast<Fl_Output*>(root)) {
        output->box(FL_BORDER_BOX);
        output->color(FL_BACKGROUND_COLOR);
    } else if (Fl_File_Input* fileInput = dynamic_cast<Fl_File_Input*>(root)) {
        fileInput->box(FL_BORDER_BOX);
        fileInput->down_box(FL_BORDER_BOX);
    }
}

} // namespace

void ApplyStyle(Fl_Widget* root) {
    Fl::set_color(FL_BACKGROUND_COLOR, 240, 240, 240);
    StyleTree(root);
}

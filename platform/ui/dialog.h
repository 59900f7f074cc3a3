// The dialog library, headless: a window whose controls come by name from a
// skin XML file of our own (TinyXML), with text, tool-tip, visibility, enabled
// and selected state, a tag and a few look attributes the code sets (colours,
// border width, image); a modal loop that ends with a close code;
// notifications ("windowinit" once the window exists, "click" for buttons)
// and the messages the base leaves to its subclass. Nothing is drawn: the
// state is what tests and the run script see, and what stands in for the
// picture.
//
// Skin file: a root element <Window size="w,h"> (the initial size); every
// element below it with a "name" attribute is a control of that name, its type
// the element's tag; attributes text, tooltip, visible, enabled, selected,
// bordersize and pos are read. pos="l,t,r,b" places a control in window
// coordinates; a right or bottom of 0 or less counts from the window's right
// or bottom edge, so a control can follow a window the user resizes.
//
// A driver from a layer above (the run script) hears when a modal loop starts
// through the modal-loop hook, and clicks through PostClickToLatestDialog.
//
// Thread safety: a dialog is used on the thread that created it; Click may be
// called there (tests) or is posted there (PostClickToLatestDialog).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/ui/window.h"

namespace platform::ui {

struct Control {
  std::string name;
  std::string type;
  std::string text;
  std::string tooltip;
  bool visible = true;
  bool enabled = true;
  bool selected = false;
  uintptr_t tag = 0;
  uint32_t bkColor = 0;
  uint32_t borderColor = 0;
  int borderSize = 0;
  std::string image;
  std::string parent;  // nearest named enclosing control ("" at the top)
  bool hasPos = false;
  Rect pos{0, 0, 0, 0};  // as the skin gives it (see above)
};

inline constexpr uint32_t kWmPostedClick = WM_USER + 0x3F0;
inline constexpr uint32_t kWmWindowInit = WM_USER + 0x3F1;

// Called on the loop's thread each time a modal loop starts, before it takes
// its first message (null: nothing is called). The run script installs itself
// here.
using ModalLoopHook = void (*)();
void SetModalLoopHook(ModalLoopHook hook);

// A click on `control`, posted to the thread of the latest live dialog that
// has it (Click runs there); false when no live dialog has it or the post fails.
bool PostClickToLatestDialog(const std::string& control);

class DialogWindow {
 public:
  DialogWindow() = default;
  virtual ~DialogWindow();
  DialogWindow(const DialogWindow&) = delete;
  DialogWindow& operator=(const DialogWindow&) = delete;

  // Loads the skin (null, with the reason on standard error, when it cannot be
  // read), makes the window and calls the initialisation hook; "windowinit"
  // is posted, so the loop that runs the window delivers it.
  HWND Create(HWND parent, const std::string& title, uint32_t style, uint32_t exStyle, const Rect& rect);
  HWND GetHWND() const { return hwnd_; }

  // Runs the modal loop until Close; returns the close code.
  int ShowModal();
  // Ends the modal loop with `code` and destroys the window (after which
  // OnFinalMessage runs).
  void Close(int code);

  Control* FindControl(const std::string& name);
  // Where the control lies on the screen now; false when it has no pos.
  bool ControlScreenRect(const std::string& name, Rect& rect);
  // Attributes every control of the window gets unless it sets its own
  // ("ImageFolder": where its images are looked for).
  void AddDefaultAttributeList(const std::string& name, const std::string& value);
  std::string DefaultAttribute(const std::string& name) const;
  // The skin's initial size, scaled for the DPI (SetDPI).
  int InitWidth() const { return Scale(initWidth_); }
  int InitHeight() const { return Scale(initHeight_); }
  // Over the owner (the parent given at creation) when there is one, else in
  // the middle of the work area of the nearest monitor; kept inside that
  // work area.
  void CenterWindow();
  void ShowWindow(bool show) { visible_ = show; }
  bool IsVisible() const { return visible_; }
  // 0 follows the display's DPI (96 is 100%); any other value is a percentage.
  void SetDPI(int mode) { dpiMode_ = mode; }
  int Scale(int value) const;

  // A control's text; a change is printed to standard error ("<title>:
  // <control> = <text>"), which is how a headless dialog shows its state.
  void SetControlText(const std::string& name, const std::string& text);
  // Visible itself and in every enclosing control.
  bool IsReallyVisible(const std::string& name);

  // Injector: a click on the named control (ignored when missing, hidden -
  // also through an enclosing layout - or disabled).
  void Click(const std::string& name);

  // Folder of the skins (tests); default: the program's folder + "skins/".
  static void SetSkinRoot(const std::string& folder);
  static std::string SkinRoot();

 protected:
  virtual std::string SkinFile() const = 0;
  virtual std::string SkinName() const { return "default"; }
  virtual void InitWindow() {}
  virtual void Notify(const std::string& type, const std::string& control) {
    (void)type;
    (void)control;
  }
  // Messages the base leaves; set `handled` to keep them from the default.
  virtual LRESULT HandleCustomMessage(uint32_t msg, WPARAM wParam, LPARAM lParam, bool& handled) {
    (void)msg;
    (void)wParam;
    (void)lParam;
    handled = false;
    return 0;
  }
  virtual void OnFinalMessage() {}
  // What the point (screen coordinates) of the window is to the user: the
  // sizing borders of a sizable window (4 pixels wide), else the client area;
  // HTNOWHERE outside.
  virtual int OnNcHitTest(int x, int y);

 private:
  bool LoadSkin(const std::string& path);
  LRESULT Proc(uint32_t msg, WPARAM wParam, LPARAM lParam);

  HWND hwnd_ = nullptr;
  std::map<std::string, Control> controls_;
  std::map<std::string, std::string> defaultAttributes_;
  int initWidth_ = 0;
  int initHeight_ = 0;
  bool visible_ = true;
  int dpiMode_ = 0;
  bool closed_ = false;
  int closeCode_ = 0;
};

}  // namespace platform::ui

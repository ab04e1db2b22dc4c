// Where the engine shows which patch it is applying: the progress dialog's status line, or a test's.
#pragma once

namespace corvantile {

class StatusLine {
public:
    // Returns once the text is shown: the text lives only until then.
    virtual void Show(const wchar_t* text) = 0;

protected:
    ~StatusLine() = default;
};

}  // namespace corvantile

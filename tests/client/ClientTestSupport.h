#pragma once

#include "Canvas.h"
#include "ServerLink.h"
#include "Shape.h"

#include <string>
#include <vector>

// Records each call as one line, e.g. "paintLine 1 2 3 4 A".
class FakeServerLink : public ServerLink {
public:
    std::vector<std::string> calls;

    void paintPoint(int x, int y, const std::string& owner) override {
        record("paintPoint", {x, y}, owner);
    }
    void paintLine(int x1, int y1, int x2, int y2, const std::string& owner) override {
        record("paintLine", {x1, y1, x2, y2}, owner);
    }
    void paintRect(int x1, int y1, int x2, int y2, const std::string& owner) override {
        record("paintRect", {x1, y1, x2, y2}, owner);
    }
    void paintCirc(int x1, int y1, int x2, int y2, const std::string& owner) override {
        record("paintCirc", {x1, y1, x2, y2}, owner);
    }
    void paintFill(int x, int y, const std::string& owner) override {
        record("paintFill", {x, y}, owner);
    }
    void clearAll(const std::string& owner) override { calls.push_back("clearAll " + owner); }
    void loadArea(const std::string& name, const std::string& owner) override {
        calls.push_back("loadArea " + name + " " + owner);
    }
    void logout(const std::string& name) override { calls.push_back("logout " + name); }
    void resend(int code, int x1, int y1, int x2, int y2, const std::string& owner) override {
        record("resend", {code, x1, y1, x2, y2}, owner);
    }
    void sendTxt(const std::string& text, const std::string& recipient, const std::string& sender,
                 Done done) override {
        calls.push_back("sendTxt " + text + "|" + recipient + "|" + sender);
        if (done)
            done(std::nullopt);
    }

private:
    void record(const char* op, std::initializer_list<int> numbers, const std::string& owner) {
        std::string line = op;
        for (int n : numbers)
            line += " " + std::to_string(n);
        calls.push_back(line + " " + owner);
    }
};

// The picture a fresh surface of that size shows for these shapes.
inline QImage picture(QSize size, const std::vector<PaintRecord>& shapes) {
    if (size.width() < 100 || size.height() < 80)
        qFatal("area too small for a meaningful picture");
    Canvas canvas(size);
    for (const PaintRecord& shape : shapes)
        drawShape(canvas, shape);
    return canvas.image();
}

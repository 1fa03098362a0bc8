#pragma once

#include <QString>

#include <functional>
#include <optional>

namespace kolvaro {

// The answer to one login attempt: the server's Login result (-1 for a name
// in use, else the number of users now logged in), or why there is none.
struct LoginOutcome {
    std::optional<int> result;
    QString error; // set when result is empty: a sentence naming what failed

    static LoginOutcome answered(int r) { return {r, {}}; }
    static LoginOutcome failed(QString why) { return {std::nullopt, std::move(why)}; }
};

// What the login dialog needs to register a name, so that it can be tested
// without an ORB. registerName returns at once; done runs later on the window
// thread, exactly once.
class Registrar {
public:
    virtual ~Registrar() = default;
    virtual void registerName(const QString& name, std::function<void(LoginOutcome)> done) = 0;
};

} // namespace kolvaro

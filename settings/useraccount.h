#pragma once

#include <QByteArray>

// The effective user's entry in the password database; empty fields where
// there is none (containers often run under a uid without one).
struct UserAccount
{
    QByteArray name;
    QByteArray home;
};

UserAccount currentUserAccount();

#include <QApplication>
#include <QTimer>

#include "Controllers/InstallerAboutWindowController.h"
#include "ShellFixture.h"

namespace shelltest {
namespace {

using AboutWindowTest = ShellTest;

TEST_F(AboutWindowTest, VersionLine) {
    struct Case {
        std::optional<std::string> build;
        QString expected;
    };
    const Case cases[] = {
        {"123", "Version 2.0 (123)"},
        {"", "Version 200"},
        {std::nullopt, "Version 200"},
    };
    for (const Case& c : cases) {
        info_.erase("BuildVersion");
        if (c.build) info_["BuildVersion"] = *c.build;
        info_["CFBundleName"] = "Ostrel Installer";
        platform::Bundle::setMainBundle(
            std::make_shared<platform::Bundle>(writeBundle(dir_, info_, false)));
        InstallerAboutWindowController about;
        EXPECT_EQ(about.form().appVersionField->text(), c.expected) << c.build.value_or("(none)");
        EXPECT_EQ(about.form().appNameField->text(), "Ostrel Installer");
        EXPECT_TRUE(about.form().appCopyrightField->text().isEmpty());
    }
}

TEST_F(AboutWindowTest, MenuOpensANewModalWindowEachTime) {
    launch();
    QWidget* first = nullptr;
    for (int round = 0; round < 2; ++round) {
        QPointer<QWidget> shown;
        QTimer::singleShot(50, [&] {
            shown = QApplication::activeModalWidget();
            ASSERT_TRUE(shown);
            EXPECT_EQ(shown->objectName(), "AboutWindow");
            EXPECT_EQ(shown->windowModality(), Qt::ApplicationModal);
            if (round == 0) first = shown;
            shown->close();
        });
        form().aboutAction->trigger();
        ASSERT_TRUE(shown.isNull()) << "the About window outlives its request";
    }
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

}  // namespace
}  // namespace shelltest

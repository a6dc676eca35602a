#include "dialogs/About.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPixmap>

TAboutForm *AboutForm = nullptr;

// Q_INIT_RESOURCE must be used outside any namespace.
static void InitAboutResources()
{
    Q_INIT_RESOURCE(About);
}

namespace
{
// The window's outer size is 185 x 146; this is what is left inside its frame and title bar.
constexpr QSize kClientSize{179, 118};
constexpr int kTextPoints = 10;
} // namespace

TAboutForm::TAboutForm(QWidget *Owner)
    : QWidget(Owner, Qt::Window | Qt::WindowSystemMenuHint | Qt::WindowMinMaxButtonsHint |
                         Qt::WindowCloseButtonHint)
{
    // The logo lives in a static library's resources, which must be registered by hand.
    InitAboutResources();
    setObjectName("AboutForm");
    setFont(QFont("MS Sans Serif", 8));
    setWindowTitle("About");
    resize(kClientSize);

    Image1 = new QLabel(this);
    Image1->setObjectName("Image1");
    Image1->setGeometry(8, 2, 161, 49);
    Image1->setPixmap(QPixmap(":/about/logo.png"));

    QFont bold = font();
    bold.setPointSize(kTextPoints);
    bold.setBold(true);
    StaticText1 = new QLabel("Velmor Debug", this);
    StaticText1->setObjectName("StaticText1");
    StaticText1->setFont(bold);
    // Centred where the design puts it, with room for fonts wider than the designed one.
    StaticText1->setGeometry(38 - 24, 64, 101 + 48, 20);
    StaticText1->setAlignment(Qt::AlignCenter);

    QFont plain = font();
    plain.setPointSize(kTextPoints);
    StaticText2 = new QLabel("Ver. 1.0", this);
    StaticText2->setObjectName("StaticText2");
    StaticText2->setFont(plain);
    StaticText2->setGeometry(64 - 16, 88, 48 + 32, 20);
    StaticText2->setAlignment(Qt::AlignCenter);
}

void TAboutForm::keyPressEvent(QKeyEvent *Event)
{
    if (Event->key() == Qt::Key_Escape && Event->modifiers() == Qt::NoModifier) {
        close();
        return;
    }
    QWidget::keyPressEvent(Event);
}

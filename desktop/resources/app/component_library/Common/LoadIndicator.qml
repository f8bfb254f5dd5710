import QtQuick
import QtQuick.Layouts

RowLayout {
    width: 60

    Repeater {
        model: 3

        Rectangle {
            required property int index

            Layout.alignment: Qt.AlignHCenter | Qt.AlignVCenter
            implicitWidth: 6
            implicitHeight: 6
            radius: 3
            color: "white"
            opacity: 0

            // Each dot holds a little longer than the one before, so the three drift apart.
            SequentialAnimation on opacity {
                loops: Animation.Infinite
                NumberAnimation { from: 0; to: 1; duration: 500 }
                PauseAnimation { duration: index * 300 }
                NumberAnimation { from: 1; to: 0; duration: 500 }
            }
        }
    }
}

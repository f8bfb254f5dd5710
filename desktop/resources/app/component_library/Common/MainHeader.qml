import QtQuick
import Colors 1.0

Rectangle {
    width: parent ? parent.width : 0
    height: 50
    color: CustomColors.primary
}

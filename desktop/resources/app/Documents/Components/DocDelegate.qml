import QtQuick
import QtQuick.Layouts
import Buttons 1.0
import Colors 1.0
import Fonts 1.0
import Icons 1.0
import CustomComponents 1.0

Rectangle {
    id: docDelegate

    required property int index
    required property string name
    required property int stat

    color: "transparent"
    radius: 100

    Rectangle {
        id: hoverBackground
        objectName: "hoverBackground"
        anchors.left: parent.left
        height: parent.height
        width: rowMouseArea.containsMouse ? docDelegate.width : 0
        gradient: Gradient {
            orientation: Gradient.Horizontal
            GradientStop { position: 0.0; color: "transparent" }
            GradientStop { position: 0.4; color: CustomColors.highlight }
            GradientStop { position: 0.8; color: "transparent" }
        }

        Behavior on width {
            SmoothedAnimation { duration: 450 }
        }
    }

    MouseArea {
        id: rowMouseArea
        objectName: "rowMouseArea"
        anchors.fill: parent
        acceptedButtons: Qt.LeftButton
        hoverEnabled: true
        onDoubleClicked: Docs.doubleClicked(docDelegate.index)

        RowLayout {
            anchors.fill: parent
            spacing: 8

            Icon {
                id: statusIcon
                objectName: "statusIcon"
                Layout.leftMargin: 10
                Layout.alignment: Qt.AlignVCenter
                path: docDelegate.stat === Doc.INGESTED ? IconVault.tick : IconVault.mark
                color: CustomColors.plainWhite
                sourceSize.width: 12
                sourceSize.height: 12
            }

            Text {
                id: docName
                objectName: "docName"
                Layout.fillWidth: true
                Layout.fillHeight: true
                Layout.leftMargin: 10
                text: docDelegate.name
                clip: true
                color: CustomColors.plainWhite
                font.pixelSize: 14
                font.family: Poppins.bold
                font.bold: true
                opacity: 0.8
                verticalAlignment: Text.AlignVCenter
            }

            IconButton {
                id: removeButton
                objectName: "removeButton"
                Layout.preferredWidth: 40
                Layout.preferredHeight: 40
                Layout.alignment: Qt.AlignRight | Qt.AlignVCenter
                Layout.rightMargin: 20
                color: "transparent"
                icon.path: IconVault.remove
                icon.color: CustomColors.plainWhite
                icon.sourceSize.height: height / 2
                // A row just removed keeps its delegate, with index -1, until the next frame.
                onClicked: {
                    if (docDelegate.index >= 0)
                        Chat.delDoc(docDelegate.index)
                }
            }
        }
    }
}

import QtQuick
import QtQuick.Controls.Basic
import Buttons 1.0
import Colors 1.0
import Fonts 1.0
import Icons 1.0

Rectangle {
    id: chatInput

    // An answer still pending or an empty field sends nothing; the typed text stays.
    function send() {
        if (Chat.IsWaitingMsg)
            return
        if (messageField.text === "")
            return
        Chat.sendMessage(messageField.text)
        messageField.text = ""
    }

    anchors.bottom: parent.bottom
    anchors.bottomMargin: 15
    anchors.horizontalCenter: parent.horizontalCenter
    width: parent.width * 0.87
    height: 55
    radius: 100
    gradient: Gradient {
        orientation: Gradient.Horizontal
        GradientStop { position: -0.2; color: CustomColors.darkBubbleLeft }
        GradientStop { position: 1.0; color: CustomColors.darkBubbleRight }
    }

    // The whole pill is the field: a press beside the text area still puts the cursor in it.
    MouseArea {
        id: pillArea
        objectName: "pillArea"

        anchors.fill: parent
        cursorShape: Qt.IBeamCursor
        onPressed: messageField.forceActiveFocus()
    }

    // Longer questions scroll inside the pill, and the line with the cursor stays in view.
    Flickable {
        id: messageFlickable

        anchors.left: parent.left
        anchors.right: sendButton.left
        anchors.top: parent.top
        anchors.bottom: parent.bottom
        anchors.margins: 10
        clip: true
        boundsBehavior: Flickable.StopAtBounds

        TextArea.flickable: TextArea {
            id: messageField
            objectName: "messageField"

            topPadding: 0
            bottomPadding: 0
            leftPadding: 6
            rightPadding: 6
            verticalAlignment: TextEdit.AlignVCenter
            wrapMode: TextEdit.Wrap
            placeholderText: qsTr("Type your message here...")
            placeholderTextColor: CustomColors.plainWhite
            color: CustomColors.plainWhite
            font.pixelSize: 12
            font.family: Poppins.bold
            font.bold: true
            selectByMouse: true
            background: null
        }
    }

    Shortcut {
        sequence: messageField.visible ? "Ctrl+Return" : ""
        onActivated: chatInput.send()
    }

    IconButton {
        id: sendButton
        objectName: "sendButton"

        height: parent.height * 0.8
        width: height
        anchors.right: parent.right
        anchors.rightMargin: 8
        anchors.verticalCenter: parent.verticalCenter
        color: CustomColors.lightBubbleRight
        icon.path: IconVault.send
        icon.color: CustomColors.plainWhite
        icon.sourceSize.height: height * 0.45
        onClicked: chatInput.send()
    }
}

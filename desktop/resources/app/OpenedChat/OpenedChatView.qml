import QtQuick
import Colors 1.0
import Fonts 1.0
import "./Components"

Rectangle {
    id: openedChatView

    color: CustomColors.primary

    ChatHeader {
        id: chatHeader
        objectName: "chatHeader"
    }

    ChatThread {
        id: chatThread
        objectName: "chatThread"
        anchors.top: chatHeader.bottom
        anchors.bottom: chatInput.top
    }

    ChatInput {
        id: chatInput
        objectName: "chatInput"
    }

    // Said over the top of the thread when a reference names a document the viewer cannot
    // show; it takes no clicks, so the thread below stays usable, and goes by itself.
    Rectangle {
        id: refNotice
        objectName: "refNotice"

        anchors.top: chatThread.top
        anchors.topMargin: 8
        anchors.horizontalCenter: parent.horizontalCenter
        width: chatInput.width
        height: refNoticeText.implicitHeight + 20
        radius: 12
        color: CustomColors.darkBubbleLeft
        border.color: CustomColors.lightBubbleRight
        visible: false

        Text {
            id: refNoticeText
            objectName: "refNoticeText"

            anchors.fill: parent
            anchors.margins: 10
            wrapMode: Text.Wrap
            textFormat: Text.PlainText
            color: CustomColors.plainWhite
            font.pixelSize: 12
            font.family: Poppins.medium
            verticalAlignment: Text.AlignVCenter
        }

        Timer {
            id: refNoticeTimer
            interval: 5000
            onTriggered: refNotice.visible = false
        }

        Connections {
            target: Docs
            function onReferenceUnlisted(fileName) {
                refNoticeText.text = qsTr("%1 is no longer listed, so this passage cannot be shown. Add the document again to open it.").arg(fileName)
                refNotice.visible = true
                refNoticeTimer.restart()
            }
        }
    }
}

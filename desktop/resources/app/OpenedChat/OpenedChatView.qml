import QtQuick
import Colors 1.0
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
}

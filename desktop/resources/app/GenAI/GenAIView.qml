import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Buttons 1.0
import Colors 1.0
import Common 1.0
import Fonts 1.0
import Icons 1.0
import "./Components"

Rectangle {
    id: genAIViewRoot

    color: CustomColors.primary

    MainHeader {
        id: genAIHeader

        BackButton {
            objectName: "backButton"
            width: 35
            height: 35
            anchors.right: parent.right
            anchors.rightMargin: 10
            anchors.verticalCenter: parent.verticalCenter
        }
    }

    ColumnLayout {
        anchors.centerIn: parent

        Text {
            Layout.alignment: Qt.AlignHCenter
            text: qsTr("Language models")
            font.pixelSize: 16
            font.family: Poppins.semiBold
            font.bold: true
            color: CustomColors.plainWhite
            opacity: 0.75
        }

        RowLayout {
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 40
            spacing: 5

            ColumnLayout {
                // Siblings, so the two exclude each other.
                RadioButton {
                    id: chatGPTRadioBtn
                    objectName: "chatGPTRadioBtn"
                    checked: !Chat.LocalAI
                }

                RadioButton {
                    id: localRadioBtn
                    objectName: "localRadioBtn"
                    checked: Chat.LocalAI
                    onCheckedChanged: Chat.LocalAI = checked
                }
            }

            ColumnLayout {
                Text {
                    Layout.preferredHeight: chatGPTRadioBtn.height
                    verticalAlignment: Text.AlignVCenter
                    text: "ChatGPT"
                    color: "white"
                }

                Text {
                    Layout.preferredHeight: localRadioBtn.height
                    verticalAlignment: Text.AlignVCenter
                    text: "Local"
                    color: "white"
                }
            }
        }

        ColumnLayout {
            id: localAIOptionsLayout
            objectName: "localAIOptionsLayout"
            Layout.alignment: Qt.AlignHCenter
            // Hidden, not removed: the view keeps its place when the mode changes. Hidden
            // controls take no hover and no click.
            opacity: localRadioBtn.checked ? 1 : 0
            enabled: localRadioBtn.checked

            RowLayout {
                Layout.alignment: Qt.AlignHCenter
                spacing: 5

                ColumnLayout {
                    spacing: 5

                    Text {
                        Layout.preferredHeight: genModelCombo.height
                        verticalAlignment: Text.AlignVCenter
                        text: "Answers"
                        font.pixelSize: 12
                        color: CustomColors.plainWhite
                    }

                    Text {
                        Layout.preferredHeight: retrievalModelCombo.height
                        Layout.alignment: Qt.AlignRight
                        verticalAlignment: Text.AlignVCenter
                        text: "Retrieval"
                        font.pixelSize: 12
                        color: CustomColors.plainWhite
                    }
                }

                ColumnLayout {
                    spacing: 5

                    ModelCombo {
                        id: genModelCombo
                        objectName: "genModelCombo"
                        enabled: localRadioBtn.checked
                        chosen: Chat.AnswerLlm
                        onChoose: function(name) { Chat.AnswerLlm = name }
                    }

                    ModelCombo {
                        id: retrievalModelCombo
                        objectName: "retrievalModelCombo"
                        enabled: localRadioBtn.checked
                        chosen: Chat.RetrieveLlm
                        onChoose: function(name) { Chat.RetrieveLlm = name }
                    }
                }
            }

            RowLayout {
                Layout.alignment: Qt.AlignHCenter
                spacing: 5

                IconButton {
                    objectName: "folderButton"
                    Layout.preferredWidth: 50
                    Layout.preferredHeight: 50
                    color: "transparent"
                    icon.path: IconVault.folder
                    icon.color: CustomColors.plainWhite
                    icon.sourceSize.height: height / 2
                    // A disabled item still gets hover events: the tooltip must not show.
                    mouseArea.hoverEnabled: localAIOptionsLayout.enabled
                    ToolTip.visible: mouseArea.containsMouse
                    ToolTip.text: "Model location on disk"
                    onClicked: Chat.selectOraculdDir()
                }

                IconButton {
                    objectName: "downloadButton"
                    Layout.preferredWidth: 50
                    Layout.preferredHeight: 50
                    color: "transparent"
                    icon.path: IconVault.download
                    icon.color: CustomColors.plainWhite
                    icon.sourceSize.height: height / 2
                    mouseArea.hoverEnabled: localAIOptionsLayout.enabled
                    ToolTip.visible: mouseArea.containsMouse
                    ToolTip.text: "Download available models"
                    onClicked: mainStack.push(modelDownload)
                }
            }
        }
    }
}

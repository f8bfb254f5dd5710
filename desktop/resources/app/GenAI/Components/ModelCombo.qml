import QtQuick
import QtQuick.Controls

// A choice among the model files of the model folder, following the application core's choice.
ComboBox {
    id: modelCombo

    // The application core's current choice; choose(name) writes a new one.
    property string chosen
    signal choose(string name)

    // The user picked an entry.
    function handleSelected() {
        choose(currentText)
    }

    // The entry of a name, looked up in the list itself: the popup's items may not exist yet.
    function indexOfName(name) {
        return model ? model.indexOf(name) : -1
    }

    // A choice that is no longer among the files chooses no model.
    function followModel() {
        currentIndex = indexOfName(chosen)
        if (currentIndex < 0 && chosen !== "")
            choose("")
    }

    model: Chat.Llms
    implicitContentWidthPolicy: ComboBox.WidestText
    onActivated: handleSelected()
    onModelChanged: followModel()
    onChosenChanged: currentIndex = indexOfName(chosen)
    Component.onCompleted: followModel()
}

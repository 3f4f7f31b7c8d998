Imports VUVedaZir
Imports REDidIzo

Public Module Exporter

    ' Writes the drawing as a picture file, with the grid in the house colour.
    Public Sub Export(ByVal view As redidizo.Drawing, ByVal path As String)
        Dim grid As VuVedaZir.Grid = view.Grid
        grid.BkColorEx = 8
        grid.ExtLineColor = 1
        view.GripColor = 12
        view.WmfSaveSize = 1024
        view.SaveAs(path)
    End Sub

End Module

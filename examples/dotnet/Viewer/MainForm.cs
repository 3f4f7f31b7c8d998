using System;
using System.Windows.Forms;
using REDidIzo;
using ruvivevu;

namespace Viewer
{
    public class MainForm : Form
    {
        private AxREDidIzo.AxDrawing drawing;

        public MainForm()
        {
            drawing = new AxREDidIzo.AxDrawing();
            drawing.Dock = DockStyle.Fill;
            Controls.Add(drawing);
            Text = "Sample viewer";
        }

        private void ApplyStyle(RUVivEvu.Layer layer)
        {
            drawing.PenColor = 4;
            drawing.FillColor = 15;
            drawing.Fillbkcolor = 7;
            layer.TextColor = 0;
            drawing.WMFSaveSize = 2048;
        }

        [STAThread]
        static void Main()
        {
            Application.Run(new MainForm());
        }
    }
}
